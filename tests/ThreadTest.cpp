// Threads that each work on exceptions of their own at the same time; under
// the thread sanitizer this shows that the library shares nothing mutable
// between them.

#include <memory>
#include <thread>

#include "Probes.h"

using namespace Quorbel;

namespace {

// Builds, chains, copies, clones, renders and reports; gives what came out.
std::string Work(int rounds) {
    probes::Log log;
    const probes::RecordingStrategy strategy(log, "per-thread-strategy");
    std::string result;
    for (int round = 0; round < rounds; ++round) {
        CPPException cause("thread.src", 1, "void Work(int)", "", "", std::runtime_error("failure"));
        probes::AppException top = probes::App("application-failure-text");
        top.AddPreviousException(&cause);
        top.SetReportingStrategy(&strategy);
        top.ReportException();
        const std::unique_ptr<StdException> bad(BadHandlerException("t.src", 4, "void w()", "", "", &top, &cause).clone());
        result = bad->AsString() + probes::AppException(top).AsXML() + log.back();
    }
    return result;
}

TEST(ThreadTest, ThreadsWithExceptionsOfTheirOwnDoNotInterfere) {
    const std::string expected = Work(1);
    std::vector<std::string> results(4);
    std::vector<std::thread> threads;
    for (std::string& result : results) threads.emplace_back([&result] { result = Work(40); });
    for (std::thread& thread : threads) thread.join();
    for (const std::string& result : results) EXPECT_EQ(result, expected);
}

}  // namespace
