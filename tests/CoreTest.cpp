// Records, the three kinds and reporting: copies, chains, detail levels,
// release order and which strategy gets to report.

#include <StdException/Strategies>

#include <memory>

#include "Probes.h"

using namespace Quorbel;
using namespace probes;

namespace {

// e, with two AppExceptions chained below it and one more entry.
template <class Kind>
Kind& Chained(Kind& e) {
    AppException below = App("below", "b.src", 2), bottom = App("bottom", "c.src", 3);
    below.AddPreviousException(&bottom);
    e.AddPreviousException(&below);
    e.AddToCallTrace("z.src", 9, "void z()", "", "newest");
    return e;
}

// Copy construction, clone and assignment give records with the source's
// report and level that share nothing with it; only assignment takes its strategy.
template <class Kind>
void ExpectIndependentCopies(Kind& source, const Kind& other) {
    Log log;
    Kind target(other);
    const RecordingStrategy own(log, "own");
    source.SetReportingStrategy(&own);
    const std::string report = source.AsXML();
    StdException::SetDefaultDetailLevel(LowDetail);  // copies keep their source's level
    Kind copied(source);
    std::unique_ptr<Kind> cloned(source.clone());
    target = source;
    Kind& alias = target;
    target = alias;
    StdException::SetDefaultDetailLevel(FullDetail);
    source.SetDetailLevel(MediumDetail);  // would reach a shared chain
    source.AddToCallTrace("s.src", 1, "void s()", "", "");
    EXPECT_EQ(copied.AsXML() + cloned->AsXML() + target.AsXML(), report + report + report);
    EXPECT_TRUE(!copied.GetReportingStrategy() && !cloned->GetReportingStrategy());
    source.SetReportingStrategy(nullptr);
    target.ReportException();
    EXPECT_EQ(log, (Log{"clone own", "clone own", "clone own", "clone own", "~own", "~own", "~own",
                        "report own: " + source.DisplayValue()}));
}

TEST(CoreTest, EveryKindCopiesClonesAndAssignsIndependently) {
    Log log;
    ModuleScope module;
    UnexpectedException unexpected("u.src", 1, "void u()", "p", "c"), otherUnexpected("o.src", 4, "void o()", "", "");
    CPPException cpp("c.src", 2, "void c()", "", "", std::runtime_error("message")),
        otherCpp("o.src", 5, "void o()", "", "", std::logic_error("other"));
    BadHandlerException bad("h.src", 3, "void h()", "", "", &unexpected, &cpp),
        otherBad("o.src", 6, "void o()", "", "", &otherCpp, &otherCpp);
    const BadHandlerException nested("n.src", 7, "void n()", "", "", &bad, &otherBad);
    ExpectIndependentCopies(Chained(unexpected), otherUnexpected);
    ExpectIndependentCopies(Chained(cpp), otherCpp);
    ExpectIndependentCopies(Chained(bad), otherBad);
    ExpectIndependentCopies(Chained(*std::unique_ptr<BadHandlerException>(nested.clone())), otherBad);
    // A source with neither strategy nor chain leaves the target with neither.
    const RecordingStrategy own(log, "own");
    unexpected.SetReportingStrategy(&own);
    unexpected = otherUnexpected;
    EXPECT_EQ(unexpected.AsXML() + (unexpected.GetReportingStrategy() ? "strategy" : ""), otherUnexpected.AsXML());
    const CPPException empty("c.src", 2, "void c()", "", "", std::runtime_error(""));
    EXPECT_EQ(empty.DisplayValue() + empty.StdException::TypeName() + empty.StdException::DisplayValue(),
              "std::runtime_error\r\nStdExceptionStdException");
    try {
        BadHandlerException("b.src", 2, "void b()", "", "", &unexpected, nullptr);
    } catch (const CPPException& e) {
        EXPECT_EQ(e.DisplayValue(), "std::invalid_argument\r\nBadHandlerException needs two exceptions, but handlerException is null");
    }
}

// The held exceptions are clones at the new exception's level, without
// strategies, whatever the given ones had, and apart from the caller's
// objects. They are released handler first; a record releases its chain (with
// the chain's strategies) before its own strategy.
TEST(CoreTest, BadHandlerHoldsClonesAtItsLevelWithoutStrategiesAndReleasesInOrder) {
    Log log;
    ModuleScope module;
    const RecordingStrategy def(log, "default"), own(log, "own");
    StdException::SetDefaultReportingStrategy(&def);
    std::unique_ptr<AppException> original(new AppException(App("original", "o.src", 1, &log)));
    AppException handler = App("handler", "h.src", 2, &log), previous = App("previous", "p.src", 3, &log);
    original->AddPreviousException(&previous);
    original->SetReportingStrategy(&own);
    StdException::SetDefaultDetailLevel(LowDetail);
    log.clear();
    std::unique_ptr<BadHandlerException> bad(new BadHandlerException("b.src", 2, "void b()", "", "", original.get(), &handler));
    original->SetDetailLevel(FullDetail);
    handler.AddToCallTrace("v.src", 3, "void v()", "", "");
    bad->SetDetailLevel(MediumDetail);  // reaches neither held exception
    ExpectFile("bad-handler-held.txt", bad->AsString());
    bad.reset();
    original.reset();
    EXPECT_EQ(log, (Log{"~handler", "~original", "~previous", "~original", "~previous", "~own", "~own"}));
}

// What the strategies did, in order, in strategies.txt: the record's own
// strategy reports, else the module default; only the fallback serves
// FallbackReportException. Setters store clones, taken before the former
// strategy goes. Every record of a chain gets a clone of its own; when a clone
// fails, the records before it keep their new clones and the rest their
// former strategies. Then the ready-made strategies report and describe themselves.
TEST(CoreTest, StrategiesAreChosenClonedAndReleased) {
    Log log;
    ModuleScope module;
    AppException e = App("e");
    e.ReportException();  // no strategy anywhere: nothing happens
    e.FallbackReportException();
    {
        const RecordingStrategy def(log, "default"), own(log, "own"), fallback(log, "fallback");
        StdException::SetDefaultReportingStrategy(&def);
        StdException::SetDefaultReportingStrategy(e.GetDefaultReportingStrategy());
        e.ReportException();
        e.FallbackReportException();
        StdException::SetFallbackReportingStrategy(&fallback);
        e.SetReportingStrategy(&own);
        log.push_back(e.GetDefaultReportingStrategy() == e.GetReportingStrategy() ? "same" : "--");
    }
    e.ReportException();
    e.FallbackReportException();
    StdException::SetDefaultReportingStrategy(nullptr);
    e.SetReportingStrategy(nullptr);
    e.ReportException();
    const RecordingStrategy old(log, "old");
    RecordingStrategy failing(log, "new");
    int failAfter = 2;
    failing.failAfter = &failAfter;
    Chained(e).SetReportingStrategy(&old);
    e.SetReportingStrategy(e.GetReportingStrategy());  // one that the chain owns itself
    log.push_back("--");
    EXPECT_THROW(e.SetReportingStrategy(&failing), std::runtime_error);
    e.ReportException();
    e.SetReportingStrategy(nullptr);
    std::ostringstream out;
    const StreamReportingStrategy toText(out), toXml(out, StreamReportingStrategy::XMLReport);
    const CallbackReportingStrategy toCallback([&](const StdException& x) { out << x.TypeName(); });
    for (const CReportingStrategy* s : {(const CReportingStrategy*)&toText, (const CReportingStrategy*)&toXml, (const CReportingStrategy*)&toCallback})
        e.SetReportingStrategy(s), e.ReportException();
    // The stream operator for a strategy is its Print, result included.
    static std::ostringstream elsewhere;
    struct Redirecting : CallbackReportingStrategy {
        Redirecting() : CallbackReportingStrategy(nullptr) {}
        std::ostream& Print(std::ostream& to) const override { return to << "printed elsewhere", elsewhere; }
    };
    out << '|' << toText << '|' << toXml << '|' << StreamReportingStrategy() << '|' << toCallback << '|';
    (out << Redirecting()) << "after Print";
    log.push_back(out.str()), log.push_back(elsewhere.str());
    std::string lines;
    for (const std::string& line : log) lines += line + "\n";
    ExpectFile("strategies.txt", lines);
}

}  // namespace
