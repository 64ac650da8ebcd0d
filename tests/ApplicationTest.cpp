#include <gtest/gtest.h>

#include "Probes.h"

#include <StdException/Guard>
#include <StdException/Strategies>

#include <sstream>

using namespace Quorbel;

// Named, so that the compilers write the functions' signatures alike.
namespace application {

Place at;           // the place of the block guard that composed its parameters last
int described = 0;  // how often the block guards composed their parameters

std::string Described(const Place& where) {
    at = where;
    return "n(" + std::to_string(++described) + ")";
}

// A null body throws from inside the block itself.
int Plain(void (*body)()) {
    QUORBEL_TRY {
        if (body == nullptr) QUORBEL_THROW(probes::AppException, "", "inside");
        body();
        return 7;
    } QUORBEL_CATCH(Described(QUORBEL_HERE), "plain")
    return 8;
}

int WithCleanUp(void (*body)(), void (*cleanUp)()) {
    QUORBEL_TRY {
        body();
        return 9;
    } QUORBEL_CATCH_WITH_CLEANUP(Described(QUORBEL_HERE), "clean", cleanUp)
}

template <class Op>
std::string Escaped(Op op) {
    try {
        op();
    } catch (StdException& x) {
        return x.AsXML();
    }
    return "(nothing escaped)";
}

// Every way for a body and a clean-up to end, through the block guards and
// through the lambda guards at the same place: the same outcome.
TEST(ApplicationTest, BlockGuardsEndAsTheLambdaGuardsAtTheirPlaceInTheEnclosingFunction) {
    void (*const endings[])() = {[] {}, [] { throw std::runtime_error("std"); },
                                 [] { throw probes::MakeApp(); }, [] { throw 1; }};
    for (const auto& body : endings) {
        for (const auto& cleanUp : endings) {
            SCOPED_TRACE(4 * (&body - endings) + (&cleanUp - endings));
            described = 0;
            const std::string plain = Escaped([&] { EXPECT_EQ(Plain(body), 7); });
            EXPECT_EQ(plain, Escaped([&] { TraceGuard(at, "n(1)", "plain", body); }));
            const std::string cleaned = Escaped([&] { EXPECT_EQ(WithCleanUp(body, cleanUp), 9); });
            EXPECT_EQ(cleaned, Escaped([&] { TraceGuardWithCleanUp(at, "n(2)", "clean", body, cleanUp); }));
            EXPECT_EQ(described, body == endings[0] ? 0 : 2);
        }
    }
    // The throw inside the block and the guard record the same function, not a lambda.
    described = 0;
    const std::string xml = Escaped([] { Plain(nullptr); });
    EXPECT_STREQ(at.funcsig, "int application::Plain(void (*)())");
    EXPECT_EQ(xml, "<Exception><Name>AppException</Name><Value>app failure</Value><CallTrace>" +
                       probes::XmlEntry(0, at.file, std::to_string(at.line - 3), at.funcsig, "", "inside") +
                       probes::XmlEntry(1, at.file, std::to_string(at.line), at.funcsig, "n(1)", "plain") +
                       "</CallTrace></Exception>");
}

// Reports through each strategy, then the strategies themselves, on one stream.
TEST(ApplicationTest, ReadyMadeStrategiesWriteOrHandOverTheReport) {
    std::ostringstream out;
    const StreamReportingStrategy toText(out), toXml(out, StreamReportingStrategy::XMLReport);
    const CallbackReportingStrategy toCallback([&](const StdException& e) { out << e.TypeName(); });
    probes::AppException e = probes::MakeApp();
    const CReportingStrategy* const strategies[] = {&toText, &toXml, &toCallback};
    for (const CReportingStrategy* s : strategies) {
        e.SetReportingStrategy(s);
        e.ReportException();
    }
    out << '|' << toText << '|' << toXml << '|' << StreamReportingStrategy() << '|' << toCallback;
    EXPECT_EQ(out.str(), "app failure\r\n[0] \tFile : app.src\r\n\tLine : 1\r\n\tFunction signature"
                         " : void app()\r\n\tParameters : \r\n\tDeveloper Comment : \r\n\n<Exception>"
                         "<Name>AppException</Name><Value>app failure</Value><CallTrace>" +
                             probes::XmlEntry(0, "app.src", "1", "void app()", "", "") +
                             "</CallTrace></Exception>\nAppException|text report to a stream|XML report "
                             "to a stream|text report to standard error|exceptions handed to a callback");
}

}  // namespace application
