#include <gtest/gtest.h>

#include "Probes.h"

#include <StdException/Guard>

#include <sstream>
#include <stdexcept>

using namespace Quorbel;
using probes::AppException;
using probes::ExpectedEntry;
using probes::XmlEntry;

namespace {

const std::string kUnexpected = "An unexpected exception was caught in our exception handler.";
const void* escaped = nullptr;  // the exception that EscapedXml caught
const void* thrown = nullptr;   // the exception that ThrowsNotedApp threw

// The full-detail XML report of the family exception that op lets escape.
template <class Op>
std::string EscapedXml(Op op) {
    try {
        op();
    } catch (StdException& x) {
        escaped = &x;
        x.SetDetailLevel(FullDetail);
        return x.AsXML();
    }
    return "(nothing escaped)";
}

std::string OneEntry(const std::string& name, const std::string& value, const std::string& entry) {
    return "<Exception><Name>" + name + "</Name><Value>" + value + "</Value><CallTrace>" + entry +
           "</CallTrace></Exception>";
}

struct ThrowsNotedApp {
    void operator()() const {
        try {
            throw probes::MakeApp("from display");
        } catch (StdException& x) {
            thrown = &x;
            throw;
        }
    }
};

}  // namespace

TEST(GuardTest, StandardExceptionFromDisplayLeavesAsStringAsCPPException) {
    const probes::ThrowingDisplay<probes::ThrowsRuntimeError> display;
    const std::string xml = EscapedXml([&] { display.AsString(); });
    EXPECT_EQ(xml, OneEntry("CPPException", "std::runtime_error\r\ndisplay failed",
                            ExpectedEntry(xml, 0, "StdException::AsString(", "", "")));
}

// The family exception travels on as the very object that was thrown, with an
// entry from every guard it leaves: AsString's, then the operator's.
TEST(GuardTest, FamilyExceptionFromDisplayTravelsOnWithAnEntryPerGuard) {
    const probes::ThrowingDisplay<ThrowsNotedApp> display;
    std::ostringstream os;
    const std::string xml = EscapedXml([&] { os << display; });
    EXPECT_EQ(escaped, thrown);
    const std::string origin = XmlEntry(0, "app.src", "1", "void app()", "", "from display");
    EXPECT_EQ(xml,
              OneEntry("AppException", "app failure",
                       origin + ExpectedEntry(xml, 1, "StdException::AsString(", "", "") +
                           ExpectedEntry(xml, 2, "operator<<(", "", "No parameter info here.")));
    EXPECT_EQ(os.str(), "");
}

// An int is foreign to both hierarchies; an application class deriving from
// both is taken as a standard exception and does not travel on.
TEST(GuardTest, ForeignFailureOfAStrategyLeavesReportExceptionTranslated) {
    const struct {
        probes::RecordingStrategy::Action action;
        std::string name, value;
    } cases[] = {
        {[](const StdException&) { throw 42; }, "UnexpectedException", kUnexpected},
        {[](const StdException&) { throw probes::DualException(); }, "CPPException",
         "probes::DualException\r\ndual"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        probes::StrategyLog log;
        const probes::RecordingStrategy strategy(log, "throwing", c.action);
        AppException e = probes::MakeApp();
        e.SetReportingStrategy(&strategy);
        const std::string xml = EscapedXml([&] { e.ReportException(); });
        EXPECT_EQ(xml, OneEntry(c.name, c.value,
                                ExpectedEntry(xml, 0, "StdException::ReportException(", "", "")));
    }
}

namespace {

const Place kAt = {"guard.src", 9, "void guarded()"};
std::string GuardEntry(int position) {
    return XmlEntry(position, "guard.src", "9", "void guarded()", "guard-params", "guard comment");
}

// A way for the body or the clean-up of a guard at kAt to end: the name of
// what the guard makes of it, and its report when a BadHandlerException holds
// it (held) or when it leaves the guard (passed). Empty for a success.
struct Ending {
    void (*run)();
    std::string name, held, passed;
};

const std::string kAppEntry = XmlEntry(0, "app.src", "1", "void app()", "", "from body");
const std::string kBodyCPP = OneEntry("CPPException", "std::runtime_error\r\nbody", GuardEntry(0));
const std::string kGuardUnexpected = OneEntry("UnexpectedException", kUnexpected, GuardEntry(0));
const Ending kBodyFailures[] = {
    {[] { throw std::runtime_error("body"); }, "CPPException", kBodyCPP, kBodyCPP},
    {[] { throw probes::MakeApp("from body"); }, "AppException",
     OneEntry("AppException", "app failure", kAppEntry),
     OneEntry("AppException", "app failure", kAppEntry + GuardEntry(1))},
    {[] { throw 1; }, "UnexpectedException", kGuardUnexpected, kGuardUnexpected},
};
const Ending kCleanUps[] = {
    {[] { throw std::length_error("clean-up"); }, "CPPException",
     OneEntry("CPPException", "std::length_error\r\nclean-up", GuardEntry(0)), ""},
    {[] { throw AppException("clean.src", 5, "void clean()", "", "", "clean-up app"); },
     "AppException",
     OneEntry("AppException", "clean-up app",
              XmlEntry(0, "clean.src", "5", "void clean()", "", "")),
     ""},
    {[] { throw 2; }, "UnexpectedException", kGuardUnexpected, ""},
    {[] {}, "(success)", "", ""},
};

}  // namespace

TEST(GuardTest, PlainGuardTranslatesOrTracesWithItsFiveValues) {
    for (const Ending& body : kBodyFailures) {
        SCOPED_TRACE(body.name);
        EXPECT_EQ(EscapedXml([&] { TraceGuard(kAt, "guard-params", "guard comment", body.run); }),
                  body.passed);
    }
}

// A failing clean-up turns into a BadHandlerException at the guard's place
// holding the clean-up's failure and the exception being handled (without an
// entry for this guard); after a clean-up that succeeds the guard goes on.
TEST(GuardTest, CleanUpRunsOnFailureAndAFailingOneRaisesBadHandler) {
    for (const Ending& body : kBodyFailures) {
        for (const Ending& cleanUp : kCleanUps) {
            SCOPED_TRACE("body: " + body.name + ", clean-up: " + cleanUp.name);
            const std::string xml = EscapedXml([&] {
                TraceGuardWithCleanUp(kAt, "guard-params", "guard comment", body.run, cleanUp.run);
            });
            EXPECT_EQ(xml, cleanUp.held.empty()
                               ? body.passed
                               : "<Exception><Name>BadHandlerException</Name><Value>A " +
                                     cleanUp.name + " was caught while handling a " + body.name +
                                     " exception.</Value><CallTrace>" + GuardEntry(0) +
                                     "</CallTrace><HandlerException>" + cleanUp.held +
                                     "</HandlerException><OriginalException>" + body.held +
                                     "</OriginalException></Exception>");
        }
    }
    int cleanUps = 0;
    EXPECT_EQ(TraceGuardWithCleanUp(kAt, "", "", [] { return 5; }, [&] { ++cleanUps; }), 5);
    EXPECT_EQ(cleanUps, 0);
}

TEST(GuardTest, ThrowMacroRecordsThePlaceOfTheEnclosingFunction) {
    Place here = {};
    const std::string xml = EscapedXml([&] {
        here = QUORBEL_HERE;
        QUORBEL_THROW(AppException, "macro params", "macro comment", "thrown by macro");
    });
    EXPECT_EQ(xml, OneEntry("AppException", "thrown by macro",
                            XmlEntry(0, here.file, std::to_string(here.line + 1), here.funcsig,
                                     "macro params", "macro comment")));
}
