// Logging from many threads at once while channels come and go.
#include <atomic>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "gantry/log/log.h"
#include "tests/support/log_capture.h"

namespace Gantry::Log {
namespace {

std::string body(int t, int i) {
    return "thread " + std::to_string(t) + " line " + std::to_string(i) + " " +
           std::string(60, static_cast<char>('a' + t));
}

// Half the threads log through the process logger in small insertions, half straight into the
// time stamp filter's per-second cache, while a channel comes and goes; limits are per thread.
TEST(ThreadedLogging, WholeLinesInOrderWhileChannelsComeAndGo) {
    constexpr int threads_each = 4, lines = 1500;
    std::ostringstream file;
    StreamChannel output(file);
    TimestampFilter stamp(output);
    LevelFilter level(stamp, 2);
    Corvid::Testing::ScopedConnection connection(logger, level);
    Corvid::Testing::RecordingChannel transient;
    std::atomic<bool> done{false};
    std::thread churn([&] {
        while (!done.load()) {
            logger.connect(transient);
            logger.disconnect(transient);
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 2 * threads_each; t++) {
        threads.emplace_back([t, &stamp] {
            for (int i = 0; i < lines; i++) {
                const std::string text = body(t, i);
                if (t >= threads_each) {
                    stamp.log(Message(1 + i % 3, Time::Stamp::now(), text));
                    continue;
                }
                Summary log;
                for (size_t j = 0; j < text.size(); j += 3)
                    log << text.substr(j, 3);
                log << std::endl;
                limited_error("limited");
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    done = true;
    churn.join();

    std::istringstream in(file.str());
    std::vector<int> next_line(2 * threads_each, 0);
    int total = 0, limited = 0;
    for (std::string line; std::getline(in, line); total++) {
        // "Tue 04 Mar 13:05:07.250 [2]: thread 3 line 17 ddd..."
        ASSERT_EQ(line.find("]: "), 26u) << line;
        int t = -1, i = -1;
        if (line.find("]: limited", 26) == 26 && ++limited) continue;
        ASSERT_EQ(std::sscanf(line.c_str() + 29, "thread %d line %d", &t, &i), 2) << line;
        ASSERT_TRUE(t >= 0 && t < 2 * threads_each) << line;
        EXPECT_EQ(line.substr(29), body(t, i));
        EXPECT_EQ(line[25] - '0', t < threads_each ? 2 : 1 + i % 3) << line;
        EXPECT_EQ(i, next_line[size_t(t)]++) << "out of order: " << line;
    }
    EXPECT_EQ(total - limited, 2 * threads_each * lines);
    EXPECT_GE(limited, threads_each * 5);  // each thread's burst at least
    EXPECT_LT(limited, threads_each * 100);
}

}  // namespace
}  // namespace Gantry::Log
