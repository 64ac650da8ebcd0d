// Records, the three kinds, their reports and reporting: whole reports
// compared with the files in tests/expected at every detail level and for a
// BadHandlerException nested in another; copies, chains, release order and
// which strategy gets to report.

#include <StdException/Strategies>

#include <iomanip>
#include <memory>
#include <thread>

#include "Operations.h"

using namespace Quorbel;
using namespace probes;

namespace {

TEST(CoreTest, ReaderExampleAtEachDetailLevel) {
    UnexpectedException x("Reader.src", 42, "int Reader::Parse(const char *)", "text=abc",
                          "parsing the header");
    x.AddToCallTrace("App.src", 17, "int main(void)", "", "");
    const UnexpectedException check("Reader.src", 30, "void Reader::Check(void)", "",
                                    "checking the magic");
    x.AddPreviousException(&check);
    // Levels as an application stores them; those outside 0 to 2 render as 7 does.
    for (int level : {0, 1, 2, 7, -1, 2147483647}) {
        SCOPED_TRACE(level);
        x.SetDetailLevel(DetailLevel(level));
        EXPECT_EQ(x.GetDetailLevel(), DetailLevel(level));
        const std::string name = "reader-" + std::to_string(level < 0 || level > 2 ? 7 : level);
        ExpectFile(name + ".txt", x.AsString());
        ExpectFile(name + ".xml", x.AsXML());
    }
    // A second previous exception replaces the first, at the record's level; a
    // copy of the record itself is taken before its chain goes.
    const UnexpectedException other("Other.src", 4294967295, "void Other()", "", "");
    x.AddPreviousException(&other);
    x.AddPreviousException(nullptr);
    x.AddPreviousException(&x);
    ExpectFile("reader-chain-7.txt", x.AsString());
    x.SetDetailLevel(MediumDetail);
    ExpectFile("reader-chain-1.txt", x.AsString());
    // The stream operator pads the whole report, then resets the width.
    const std::string report = x.AsString();
    std::ostringstream os;
    os << std::setfill('*') << std::setw(report.size() + 2) << x << '|';
    os << std::left << std::setw(report.size() + 1) << x << '|' << x;
    EXPECT_EQ(os.str(), "**" + report + "|" + report + "*|" + report);
}

// A BadHandlerException whose handler is another BadHandlerException. The
// held exceptions are clones at the level of the exception that holds them
// (the inner one was made at medium detail), without strategies and apart
// from the caller's objects; a later level reaches none of them. A previous
// exception's fields hold markup and a text longer than the stream's chunk.
// Released handler first; a record releases its chain (with the chain's
// strategies) before its own strategy. A line at the top of its type.
TEST(CoreTest, NestedBadHandlerWithPreviousChain) {
    Log log;
    ModuleScope module;
    const RecordingStrategy def(log, "default"), own(log, "own");
    StdException::SetDefaultReportingStrategy(&def);
    StdException::SetDefaultDetailLevel(MediumDetail);
    AppException app = App("inner original", "u.src", 5, &log);
    app.AddToCallTrace("v.src", 6, "void v()", "", "hidden at medium detail");
    const std::logic_error& error = std::out_of_range("index 9");  // named by its dynamic type
    CPPException cpp("c.src", 3, "void c()", "", "", error);
    BadHandlerException inner("i.src", 7, "void i()", "", "inner", &app, &cpp);
    StdException::SetDefaultDetailLevel(FullDetail);
    std::unique_ptr<AppException> original(new AppException(App("original", "a.src", 1, &log)));
    const AppException below = App("below", "b.src", 2, &log);
    original->AddPreviousException(&below);
    original->SetReportingStrategy(&own);
    original->SetDetailLevel(LowDetail);
    log.clear();
    std::unique_ptr<BadHandlerException> outer(
        new BadHandlerException("o.src", 8, "void o()", "p(1)", "outer", original.get(), &inner));
    original->AddToCallTrace("x.src", 1, "void x()", "", "not in the held clone");
    const AppException markup("m.src", 4294967295, "std::vector<Item> Load(std::istream&)",
                              std::string(300, 'p'), "a<b & \"c\"</Exception>", "m</Exception>",
                              &log);
    outer->AddPreviousException(&markup);
    outer->AddToCallTrace("t.src", 9, "int main()", "", "");
    const StdException& asBase = *outer;  // the renderings are virtual
    ExpectFile("bad-handler.txt", asBase.AsString());
    ExpectFile("bad-handler.xml", asBase.AsXML());
    outer->SetDetailLevel(LowDetail);
    ExpectFile("bad-handler-low.txt", outer->AsString());
    // Assignment replaces the strategy, the chain, the original and the
    // handler, in this order, each released as soon as it is replaced.
    std::unique_ptr<BadHandlerException> target(outer->clone());
    target->SetReportingStrategy(&own);
    log.clear();
    *target = inner;
    target.reset();
    outer.reset();
    original.reset();
    EXPECT_EQ(log, (Log{"~own", "~m</Exception>", "~own", "~original", "~below", "~inner original",
                        "~inner original", "~inner original", "~original", "~below",
                        "~m</Exception>", "~original", "~below", "~own", "~own"}));
}

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
    source.SetReportingStrategy(nullptr);
    target.ReportException();
    EXPECT_EQ(log, (Log{"clone own", "clone own", "clone own", "clone own", "~own", "~own", "~own",
                        "report own: " + source.DisplayValue()}));
}

TEST(CoreTest, EveryKindCopiesClonesAndAssignsIndependently) {
    Log log;
    ModuleScope module;
    Fixture f;  // each kind, and a target of each kind with other contents
    const BadHandlerException nested(kFile, 7, kSig, "p", "c", &f.inner, &f.badTarget);
    ExpectIndependentCopies(Chained(f.unexpected), f.unexpectedTarget);
    ExpectIndependentCopies(Chained(f.cpp), f.cppTarget);
    ExpectIndependentCopies(Chained(f.inner), f.badTarget);
    ExpectIndependentCopies(Chained(*std::unique_ptr<BadHandlerException>(nested.clone())),
                            f.badTarget);
    // A source with neither strategy nor chain leaves the target with neither.
    const RecordingStrategy own(log, "own");
    f.unexpected.SetReportingStrategy(&own);
    f.unexpected = f.unexpectedTarget;
    EXPECT_EQ(f.unexpected.AsXML() + (f.unexpected.GetReportingStrategy() ? "strategy" : ""),
              f.unexpectedTarget.AsXML());
    const CPPException empty("c.src", 2, "void c()", "", "", std::runtime_error(""));
    EXPECT_EQ(
        empty.DisplayValue() + empty.StdException::TypeName() + empty.StdException::DisplayValue(),
        "std::runtime_error\r\nStdExceptionStdException");
}

// A copy renders its source before it copies anything: a source whose
// DisplayValue fails cannot be copied in any way, the failure is the one that
// operator<< raises, and a record given it as previous exception keeps its
// chain. Nor can a BadHandlerException be made of it.
TEST(CoreTest, ASourceThatCannotBeRenderedCannotBeCopied) {
    AppException app = App("app");
    AppException other = App("other");
    const BadHandlerException bad("b.src", 1, "void b()", "", "", &other, &app);
    UnexpectedException head("h.src", 2, "void h()", "", "");
    head.AddPreviousException(&other);
    const std::string before = head.AsXML();
    fault = [](const std::string& what) { throw std::runtime_error(what + " cannot render"); };
    std::ostringstream os;
    const std::string rendered = Escaped([&] { os << app; });
    EXPECT_EQ(Escaped([&] { AppException copy(app); }), rendered);
    const std::string cloned = Escaped([&] { delete app.clone(); });
    EXPECT_EQ(Escaped([&] { head.AddPreviousException(&app); }), cloned);
    const std::string renderedBad = Escaped([&] { os << bad; });
    EXPECT_EQ(Escaped([&] { BadHandlerException copy(bad); }), renderedBad);
    // The handler is rendered first, so its failure is the one that comes out.
    const std::string badXML = Escaped([&] { bad.AsXML(); });
    // Rendered, then held: the failure of the clone names the record it was made for.
    fault = [](const std::string&) {
        static int renderings = 0;
        if (++renderings == 3) throw std::runtime_error("the third rendering");
    };
    const std::string made = Escaped(
        [&] { BadHandlerException("m.src", 3000000000u, "void m()", "", "", &other, &app); });
    fault = nullptr;
    EXPECT_EQ(head.AsXML(), before);
    ExpectFile("uncopyable.xml",
               rendered + "\n" + cloned + "\n" + renderedBad + "\n" + badXML + "\n" + made);
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
    EXPECT_THROW(e.SetReportingStrategy(&failing), std::runtime_error);
    e.ReportException();
    e.SetReportingStrategy(nullptr);
    std::ostringstream out;
    typedef StreamReportingStrategy Stream;
    const Stream toText(out), toXML(out, Stream::XMLReport), toJSON(std::cout, Stream::JSONReport);
    const Stream toEscaped(out, Stream::EscapedXMLReport), toJSONHere(out, Stream::JSONReport);
    const CallbackReportingStrategy toCallback([&](const StdException& x) { out << x.TypeName(); });
    const CReportingStrategy* const strategies[] = {&toText, &toXML, &toEscaped, &toJSONHere,
                                                    &toCallback};
    for (const CReportingStrategy* s : strategies) {
        e.SetReportingStrategy(s);
        e.ReportException();
    }
    // The stream operator for a strategy is its Print, result included.
    static std::ostringstream elsewhere;
    struct Redirecting : CallbackReportingStrategy {
        Redirecting() : CallbackReportingStrategy(nullptr) {}
        std::ostream& Print(std::ostream&) const override { return elsewhere; }
    };
    out << '|' << toText << '|' << toXML << '|' << toEscaped << '|' << toJSON << '|' << Stream();
    out << '|' << toCallback << '|';
    (out << Redirecting()) << "after Print";
    log.push_back(out.str());
    log.push_back(elsewhere.str());
    std::string lines;
    for (const std::string& line : log) lines += line + "\n";
    ExpectFile("strategies.txt", lines);
}

// Threads that each run every operation that touches no module-wide setting,
// on inputs of their own, at the same time; under the thread sanitizer this
// shows that the library shares nothing mutable between them.
std::string Work() {
    Fixture f;
    for (const auto& op : kOperations)
        if (!op.module) op.run(f);
    return f.Reports() + f.log.back();
}

TEST(CoreTest, ThreadsWithExceptionsOfTheirOwnDoNotInterfere) {
    const std::string alone = Work();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&alone] {
            for (int round = 0; round < 20; ++round) EXPECT_EQ(Work(), alone);
        });
    for (std::thread& thread : threads) thread.join();
}

}  // namespace
