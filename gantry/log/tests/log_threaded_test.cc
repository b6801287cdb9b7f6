// Logging from many threads at once: whole lines, nothing lost, per-thread order kept. Runs under
// ThreadSanitizer in CI.
#include <atomic>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "gantry/log/log.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_support.h"

namespace Gantry::Log {
namespace {

constexpr int thread_count = 8;
constexpr int lines_per_thread = 1500;

// Each line is written in many small insertions, so that interleaving, if it could happen,
// would.
void write_lines(int thread, Channel& channel) {
    const std::string payload(3, static_cast<char>('a' + thread));
    Summary log(channel);
    for (int i = 0; i < lines_per_thread; i++) {
        log << "thread " << thread << " line " << i;
        for (int j = 0; j < 20; j++)
            log << ' ' << payload;
        log << std::endl;
    }
}

std::string expected_body(int thread, int line) {
    std::ostringstream out;
    out << "thread " << thread << " line " << line;
    for (int j = 0; j < 20; j++)
        out << ' ' << std::string(3, static_cast<char>('a' + thread));
    return out.str();
}

TEST(ThreadedLogging, LinesNeverInterleave) {
    Corvid::Testing::TempDir dir;
    std::ofstream file(dir.file("log"));
    StreamChannel output(file);
    TimestampFilter stamp(output);
    LevelFilter level(stamp, 2);
    Corvid::Testing::ScopedConnection connection(logger, level);

    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; t++)
        threads.emplace_back(write_lines, t, std::ref(logger));
    for (std::thread& thread : threads)
        thread.join();
    file.close();

    std::ifstream in(dir.file("log"));
    std::string line;
    std::map<int, int> next_line;
    int total = 0;
    while (std::getline(in, line)) {
        const size_t body = line.find("]: ");
        ASSERT_NE(body, std::string::npos) << line;
        std::istringstream fields(line.substr(body + 3));
        std::string word;
        int thread = -1, number = -1;
        fields >> word >> thread >> word >> number;
        ASSERT_GE(thread, 0) << line;
        ASSERT_LT(thread, thread_count) << line;
        EXPECT_EQ(line.substr(body + 3), expected_body(thread, number));
        EXPECT_EQ(number, next_line[thread]) << "out of order: " << line;
        next_line[thread] = number + 1;
        total++;
    }
    EXPECT_EQ(total, thread_count * lines_per_thread);
}

// Channels come and go while other threads log; every stream asks the distributor whether its
// level is wanted as it is created.
TEST(ThreadedLogging, ConnectAndDisconnectWhileLogging) {
    Distributor distributor;
    Corvid::Testing::RecordingChannel permanent;
    LevelFilter summaries(permanent, 2);
    distributor.connect(summaries);
    Corvid::Testing::RecordingChannel transient;

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

    EXPECT_EQ(permanent.messages().size(), 4u * 2000);
    for (const Message& message : permanent.messages())
        EXPECT_EQ(message.level, 2);
    // Details reach the transient channel only while it is connected; none must be torn.
    for (const std::string& text : transient.texts())
        EXPECT_TRUE(text.rfind("detail ", 0) == 0 || text[0] == 't') << text;
}

// Without a distributor in front, threads meet in the time stamp filter's cache and in the
// stream channel directly.
TEST(ThreadedLogging, FilterAndChannelWithoutDistributor) {
    std::ostringstream out;
    StreamChannel output(out);
    TimestampFilter stamp(output, "%H:%M:%*S [%*L] ");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&stamp, t] {
            for (int i = 0; i < 1000; i++)
                stamp.log(Message(1 + (i + t) % 3, Time::Stamp::now(), "t" + std::to_string(t)));
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    std::istringstream lines(out.str());
    std::string line;
    int total = 0;
    while (std::getline(lines, line)) {
        // "13:05:07.250 [2] t3"
        ASSERT_EQ(line.size(), 19u) << line;
        EXPECT_EQ(line.substr(8, 1), ".");
        EXPECT_EQ(line[17], 't');
        total++;
    }
    EXPECT_EQ(total, 4000);
}

}  // namespace
}  // namespace Gantry::Log
