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

// Through the process logger, each line in many small insertions, so that interleaving, if it
// could happen, would; and straight into the time stamp filter at every level, where threads meet
// in its per-second cache without the distributor's lock.
TEST(ThreadedLogging, LinesNeverInterleave) {
    Corvid::Testing::TempDir dir;
    std::ofstream file(dir.file("log"));
    StreamChannel output(file);
    TimestampFilter stamp(output);
    LevelFilter level(stamp, 2);
    Corvid::Testing::ScopedConnection connection(logger, level);
    std::vector<std::thread> threads;
    for (int t = 0; t < logger_threads + direct_threads; t++) {
        threads.emplace_back([t, &stamp] {
            Summary log;
            for (int i = 0; i < lines_per_thread; i++) {
                if (t >= logger_threads) {
                    stamp.log(Message(1 + (t + i) % 3, Time::Stamp::now(), body(t, i)));
                    continue;
                }
                log << "thread " << t << " line " << i;
                for (int j = 0; j < 20; j++)
                    log << ' ' << std::string(3, static_cast<char>('a' + t));
                log << std::endl;
            }
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
        int t = -1, i = -1;
        std::sscanf(line.c_str() + 29, "thread %d line %d", &t, &i);
        ASSERT_TRUE(t >= 0 && t < logger_threads + direct_threads) << line;
        EXPECT_EQ(line.substr(29), body(t, i));
        EXPECT_EQ(line[25] - '0', t < logger_threads ? 2 : 1 + (t + i) % 3) << line;
        EXPECT_EQ(i, next_line[t]++) << "out of order: " << line;
    }
    EXPECT_EQ(total, (logger_threads + direct_threads) * lines_per_thread);
}

// Channels come and go while other threads log; every stream asks the distributor whether its
// level is wanted as it is created. Rate-limited lines are limited per thread, without a lock.
TEST(ThreadedLogging, ConnectAndDisconnectWhileLogging) {
    Distributor distributor;
    Corvid::Testing::RecordingChannel permanent, transient;
    LevelFilter summaries(permanent, 2);
    distributor.connect(summaries);
    Corvid::Testing::LogCapture limited;
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
                limited_error("limited");
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    done = true;
    churn.join();
    EXPECT_EQ(permanent.count("t", summary_level), 4u * 2000);
    EXPECT_EQ(permanent.count(), 4u * 2000);
    for (const std::string& text : transient.texts())  // none torn
        EXPECT_TRUE(text.rfind("detail ", 0) == 0 || text[0] == 't') << text;
    EXPECT_GE(limited.count("limited"), 4u * 5);  // each thread's burst at least
    EXPECT_LT(limited.count("limited"), 4u * 2000);
}

}  // namespace
}  // namespace Gantry::Log
