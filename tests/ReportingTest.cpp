#include <gtest/gtest.h>

#include <sstream>

#include "CoreProbes.h"

using namespace Quorbel;
using namespace probes;
using Reports = std::vector<std::string>;

namespace {

// A strategy whose Print writes to, and returns, a stream of its own instead of the given one.
struct RedirectingStrategy : CReportingStrategy {
    explicit RedirectingStrategy(std::ostream& own) : own(&own) {}
    RedirectingStrategy* clone() const override { return new RedirectingStrategy(*this); }
    void Report(const StdException&) override {}
    std::ostream& Print(std::ostream&) const override { return *own << "redirected"; }
    std::ostream* own;
};

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

TEST(ReportingTest, StrategyInsertionReturnsWhatPrintReturns) {
    std::ostringstream given, own;
    std::ostream& result = given << RedirectingStrategy(own);
    EXPECT_EQ(&result, &own);
    EXPECT_EQ(given.str(), "");
    EXPECT_EQ(own.str(), "redirected");
}

}  // namespace
