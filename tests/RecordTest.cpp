#include <gtest/gtest.h>

#include <memory>

#include "Probes.h"

using namespace Quorbel;
using namespace probes;

namespace {

// The report block of one call-trace entry in "void f()" without parameters.
std::string Block(const std::string& file, unsigned line, const std::string& comment = "") {
    return "\tFile : " + file + "\r\n\tLine : " + std::to_string(line) +
           "\r\n\tFunction signature : void f()\r\n\tParameters : \r\n\tDeveloper Comment : " +
           comment + "\r\n";
}
const std::string kFrom = "Translated from a previous exception:\r\n{\r\n";

TEST(RecordTest, CallTraceShowsTheOriginFirstWithNumbersCountingDown) {
    AppException e("a.src", 12, "void f()", "", "origin", "boom");
    e.AddToCallTrace("b.src", 20, "void f()", "", "");
    e.AddToCallTrace("c.src", 0, "void f()", "", "newest");
    EXPECT_EQ(e.AsString(), "boom\r\n[2] " + Block("a.src", 12, "origin") + "[1] " +
                                Block("b.src", 20) + "[0] " + Block("c.src", 0, "newest"));
}

TEST(RecordTest, CopiesShareNothingAndOnlyAssignmentTakesTheStrategy) {
    ModuleScope module;
    RecordingStrategy own(module.log, "own");
    for (bool assign : {false, true}) {
        SCOPED_TRACE(assign ? "assignment" : "copy constructor");
        std::unique_ptr<AppException> source(new AppException(MakeChain()));
        source->AddToCallTrace("z.src", 9, "void f()", "", "");
        source->SetReportingStrategy(&own);
        StdException::SetDefaultDetailLevel(LowDetail);  // a copy takes its source's level
        std::unique_ptr<AppException> copy(new AppException(assign ? MakeApp() : *source));
        if (assign) *copy = *source;
        StdException::SetDefaultDetailLevel(FullDetail);
        EXPECT_EQ(copy->GetReportingStrategy() != nullptr, assign);
        source->SetDetailLevel(LowDetail);  // would reach a shared chain
        source.reset();
        EXPECT_EQ(copy->AsString(), "top\r\n[1] " + Block("a.src", 1) + "[0] " + Block("z.src", 9) +
                                        kFrom + "middle\r\n[0] " + Block("b.src", 2) + kFrom +
                                        "bottom\r\n[0] " + Block("c.src", 3) + "}\r\n}\r\n");
    }
    EXPECT_EQ(module.log.clones, 7);  // three for each source chain, one for the assigned copy
    // A source without strategy or chain leaves the target with neither.
    AppException plain = MakeApp(), target = MakeChain();
    target.SetReportingStrategy(&own);
    target = plain;
    EXPECT_EQ(target.GetReportingStrategy(), nullptr);
    EXPECT_EQ(target.AsString(), plain.AsString());
}

TEST(RecordTest, AddPreviousExceptionReplacesTheChainAndSetDetailLevelWalksIt) {
    AppException first = MakeApp(), chain = MakeChain();
    chain.AddToCallTrace("z.src", 9, "void f()", "", "");  // hidden at MediumDetail
    AppException e("e.src", 8, "void f()", "", "", "outer");
    e.SetDetailLevel(MediumDetail);
    e.AddPreviousException(&first);
    e.AddPreviousException(&chain);
    e.AddPreviousException(nullptr);
    EXPECT_EQ(e.AsString(), "outer\r\n" + Block("e.src", 8) + kFrom + "top\r\n" + Block("a.src", 1) +
                                kFrom + "middle\r\n" + Block("b.src", 2) + kFrom + "bottom\r\n" +
                                Block("c.src", 3) + "}\r\n}\r\n}\r\n");
    // A level outside the enumeration is kept as given and shows no entry.
    e.SetDetailLevel(DetailLevel(7));
    EXPECT_EQ(e.GetDetailLevel(), DetailLevel(7));
    EXPECT_EQ(e.AsString(), "outer\r\n" + kFrom + "top\r\n" + kFrom + "middle\r\n" + kFrom +
                                "bottom\r\n}\r\n}\r\n}\r\n");
}

}  // namespace
