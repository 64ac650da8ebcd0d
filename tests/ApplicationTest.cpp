// What applications use around the core: block guards and ready-made strategies.

#include <StdException/Guard>
#include <StdException/Strategies>

#include "Probes.h"

using namespace Quorbel;
using probes::Escaped;

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
        if (body == nullptr) QUORBEL_THROW(probes::AppException, "", "inside", "thrown");
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

// Every way for a body and a clean-up to end, through the block guards and
// through the lambda guards at the same place: the same outcome.
TEST(ApplicationTest, BlockGuardsEndAsTheLambdaGuardsAtTheirPlaceInTheEnclosingFunction) {
    void (*const endings[])() = {[] {}, [] { throw std::runtime_error("std"); },
                                 [] { throw probes::App("app"); }, [] { throw 1; }};
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
    const auto entry = [](int position, std::uint32_t line, const std::string& parameters, const std::string& comment) {
        return "<CallTraceEntry position=\"" + std::to_string(position) + "\"><File>" + at.file + "</File><Line>" +
               std::to_string(line) + "</Line><FuncSig>" + at.funcsig + "</FuncSig><Params>" + parameters +
               "</Params><Comment>" + comment + "</Comment></CallTraceEntry>";
    };
    EXPECT_EQ(xml, "<Exception><Name>AppException</Name><Value>thrown</Value><CallTrace>" + entry(0, at.line - 3, "", "inside") +
                       entry(1, at.line, "n(1)", "plain") + "</CallTrace></Exception>");
}

// Reports through each strategy, then the strategies themselves, on one stream.
TEST(ApplicationTest, ReadyMadeStrategiesWriteOrHandOverTheReport) {
    std::ostringstream out;
    const StreamReportingStrategy toText(out), toXml(out, StreamReportingStrategy::XMLReport);
    const CallbackReportingStrategy toCallback([&](const StdException& e) { out << e.TypeName(); });
    probes::AppException e = probes::App("app failure", "app.src");
    const CReportingStrategy* const strategies[] = {&toText, &toXml, &toCallback};
    for (const CReportingStrategy* s : strategies) {
        e.SetReportingStrategy(s);
        e.ReportException();
    }
    out << '|' << toText << '|' << toXml << '|' << StreamReportingStrategy() << '|' << toCallback;
    EXPECT_EQ(out.str(), "app failure\r\n[0] \tFile : app.src\r\n\tLine : 1\r\n\tFunction signature : void f()\r\n"
                         "\tParameters : \r\n\tDeveloper Comment : \r\n\n<Exception><Name>AppException</Name><Value>app "
                         "failure</Value><CallTrace><CallTraceEntry position=\"0\"><File>app.src</File><Line>1</Line>"
                         "<FuncSig>void f()</FuncSig><Params></Params><Comment></Comment></CallTraceEntry></CallTrace>"
                         "</Exception>\nAppException|text report to a stream|XML report to a stream|text report to "
                         "standard error|exceptions handed to a callback");
}

}  // namespace application
