// Threads that each run every operation that touches no module-wide setting,
// on inputs of their own, at the same time; under the thread sanitizer this
// shows that the library shares nothing mutable between them.

#include <thread>

#include "Operations.h"

namespace {

std::string Work() {
    probes::Fixture f;
    for (const auto& op : probes::kOperations)
        if (std::string(op.name).find("Default") == std::string::npos &&
            std::string(op.name).find("Fallback") == std::string::npos)
            op.run(f);
    return f.Reports() + f.log.back();
}

TEST(ThreadTest, ThreadsWithExceptionsOfTheirOwnDoNotInterfere) {
    std::vector<std::string> results(4);
    std::vector<std::thread> threads;
    for (std::string& result : results)
        threads.emplace_back([&result] {
            for (int round = 0; round < 20; ++round) result = Work();
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(results, std::vector<std::string>(4, Work()));
}

}  // namespace
