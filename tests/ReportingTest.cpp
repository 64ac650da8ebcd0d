#include <gtest/gtest.h>

#include "Probes.h"

using namespace Quorbel;
using namespace probes;
using Reports = std::vector<std::string>;

namespace {

TEST(ReportingTest, ReportUsesOwnElseDefaultAndFallbackUsesOnlyTheFallback) {
    ModuleScope module;
    AppException e = MakeApp();
    {
        RecordingStrategy def(module.log, "default"), own(module.log, "own"),
            fallback(module.log, "fallback");
        StdException::SetDefaultReportingStrategy(&def);
        // The stored default passed back in: its clone is taken before it is deleted.
        StdException::SetDefaultReportingStrategy(e.GetDefaultReportingStrategy());
        EXPECT_EQ(module.log.destroyed, 1);
        e.ReportException();
        e.FallbackReportException();  // the default does not stand in for the fallback
        StdException::SetFallbackReportingStrategy(&fallback);
        e.SetReportingStrategy(&own);
    }  // the setters' arguments are gone; the library's clones stay
    e.ReportException();
    e.FallbackReportException();
    EXPECT_EQ(module.log.clones, 4);
    // A strategy whose clone gives null empties each slot as null would, and with no
    // strategy anywhere the report operations do nothing.
    NullCloningStrategy nothing;
    e.SetReportingStrategy(&nothing);
    StdException::SetDefaultReportingStrategy(&nothing);
    StdException::SetFallbackReportingStrategy(&nothing);
    EXPECT_EQ(e.GetReportingStrategy(), nullptr);
    e.ReportException();
    e.FallbackReportException();
    EXPECT_EQ(module.log.reports,
              (Reports{"default:app failure", "own:app failure", "fallback:app failure"}));
}

TEST(ReportingTest, SetReportingStrategyGivesEachRecordOfTheChainItsOwnClone) {
    StrategyLog log;
    RecordingStrategy rec(log, "chain");
    AppException top = MakeChain();
    top.SetReportingStrategy(&rec);
    EXPECT_EQ(log.clones, 3);
    top.SetReportingStrategy(top.GetReportingStrategy());  // a strategy the chain owns itself
    EXPECT_EQ(log.clones, 6);
    top.ReportException();
    top.SetReportingStrategy(nullptr);
    EXPECT_EQ(log.destroyed, 6);
    top.ReportException();
    EXPECT_EQ(log.reports, Reports{"chain:top"});
}

}  // namespace
