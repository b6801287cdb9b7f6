// Logging from many threads at once: whole lines, nothing lost, per-thread order kept.
#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "gantry/log/log.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Gantry::Log {
namespace {

constexpr int logger_threads = 6, direct_threads = 4, lines_per_thread = 1500;

std::string body(int thread, int line) {
    std::string out = "thread " + std::to_string(thread) + " line " + std::to_string(line);
    for (int j = 0; j < 20; j++)
        out += ' ' + std::string(3, static_cast<char>('a' + thread));
    return out;
}

int direct_level(int thread, int line) {
    return 1 + (thread + line) % 3;
}

TEST(ThreadedLogging, LinesNeverInterleave) {
    Corvid::Testing::TempDir dir;
    std::ofstream file(dir.file("log"));
    StreamChannel output(file);
    TimestampFilter stamp(output);
    LevelFilter level(stamp, 2);
    Corvid::Testing::ScopedConnection connection(logger, level);
    std::vector<std::thread> threads;
    // Through the process logger, each line in many small insertions, so that interleaving, if it
    // could happen, would.
    for (int t = 0; t < logger_threads; t++) {
        threads.emplace_back([t] {
            const std::string payload(3, static_cast<char>('a' + t));
            Summary log;
            for (int i = 0; i < lines_per_thread; i++) {
                log << "thread " << t << " line " << i;
                for (int j = 0; j < 20; j++)
                    log << ' ' << payload;
                log << std::endl;
            }
        });
    }
    // Straight into the time stamp filter at every level: these threads meet in its per-second
    // cache without the distributor's lock.
    for (int t = logger_threads; t < logger_threads + direct_threads; t++) {
        threads.emplace_back([&stamp, t] {
            for (int i = 0; i < lines_per_thread; i++)
                stamp.log(Message(direct_level(t, i), Time::Stamp::now(), body(t, i)));
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    file.close();

    std::ifstream in(dir.file("log"));
    std::vector<int> next_line(logger_threads + direct_threads, 0);
    int total = 0;
    for (std::string line; std::getline(in, line); total++) {
        // "Tue 04 Mar 13:05:07.250 [2]: thread 3 line 17 ddd ddd ..."
        ASSERT_EQ(line.find("]: "), 26u) << line;
        int thread = -1, number = -1;
        std::sscanf(line.c_str() + 29, "thread %d line %d", &thread, &number);
        ASSERT_TRUE(thread >= 0 && thread < logger_threads + direct_threads) << line;
        EXPECT_EQ(line.substr(29), body(thread, number));
        EXPECT_EQ(line[25] - '0', thread < logger_threads ? 2 : direct_level(thread, number))
            << line;
        EXPECT_EQ(number, next_line[thread]++) << "out of order: " << line;
    }
    EXPECT_EQ(total, (logger_threads + direct_threads) * lines_per_thread);
}

// Channels come and go while other threads log; every stream asks the distributor whether its
// level is wanted as it is created.
TEST(ThreadedLogging, ConnectAndDisconnectWhileLogging) {
    Distributor distributor;
    Corvid::Testing::RecordingChannel permanent, transient;
    LevelFilter summaries(permanent, 2);
    distributor.connect(summaries);
    std::atomic<bool> done{false};
    std::thread churn([&] {
        while (!done.load()) {
            distributor.connect(transient);
            distributor.disconnect(transient);
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&distributor, t] {
            for (int i = 0; i < 2000; i++) {
                Summary(distributor) << "t" << t << " " << i << std::endl;
                Detail(distributor) << "detail " << i << std::endl;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    done = true;
    churn.join();

    EXPECT_EQ(permanent.count("t", summary_level), 4u * 2000);
    EXPECT_EQ(permanent.count(), 4u * 2000);
    // Details reach the transient channel only while it is connected; none must be torn.
    for (const std::string& text : transient.texts())
        EXPECT_TRUE(text.rfind("detail ", 0) == 0 || text[0] == 't') << text;
}

}  // namespace
}  // namespace Gantry::Log
