#include <gtest/gtest.h>

#include "Probes.h"

#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace Quorbel;

namespace {

// One thread's work on exceptions of its own: building, chaining, copying,
// extending, cloning, rendering, reporting and translating through a guard.
// Gives everything it rendered and reported in the last round.
std::string Work(int rounds) {
    probes::StrategyLog log;
    const probes::RecordingStrategy strategy(log, "per-thread-strategy");
    std::string result;
    for (int round = 0; round < rounds; ++round) {
        CPPException cause("thread-source-file.src", 1, "void Work(int)", "rounds(50)", "",
                           std::runtime_error("a failure inside one thread"));
        probes::AppException top = probes::MakeApp("application-comment-text", 2);
        top.AddPreviousException(&cause);
        top.AddToCallTrace("thread-source-file.src", 3, "void Work(int)", "", "passing through");
        top.SetReportingStrategy(&strategy);
        const probes::AppException copy(top);
        const BadHandlerException bad("thread-source-file.src", 4, "void Work(int)", "", "", &top,
                                      &cause);
        std::unique_ptr<StdException> clone(bad.clone());
        clone->SetDetailLevel(MediumDetail);
        std::ostringstream text;
        text << *clone << copy;
        top.ReportException();
        result = text.str() + clone->AsXML() + log.reports.back();
        try {
            probes::ThrowingDisplay<probes::ThrowsRuntimeError>().AsXML();
        } catch (const StdException& translated) {
            result += translated.AsString();
        }
    }
    return result;
}

}  // namespace

// Every thread works on exceptions of its own while the module settings stay
// as they are; run under the thread sanitizer, this shows the library shares
// nothing mutable between them.
TEST(ThreadTest, ThreadsWithExceptionsOfTheirOwnDoNotInterfere) {
    const int rounds = 40;
    const std::string expected = Work(1);
    std::vector<std::string> results(4);
    std::vector<std::thread> threads;
    for (std::string& result : results) threads.emplace_back([&result] { result = Work(rounds); });
    for (std::thread& thread : threads) thread.join();
    for (const std::string& result : results) EXPECT_EQ(result, expected);
}
