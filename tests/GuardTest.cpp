// What the guards make of failures: the two guard forms at a fixed place for
// every way the guarded steps and the clean-up can end, and the library's own
// operations when an application's exception or strategy fails inside them.
// Compared with tests/expected/guards.txt and escapes.txt.

#include <StdException/Guard>

#include "Probes.h"

using namespace Quorbel;
using namespace probes;

namespace {

// An application exception that is a standard exception too.
struct Dual : std::runtime_error, StdException {
    Dual() : std::runtime_error("dual"), StdException("d.src", 3, "void d()", "", "") {}
    Dual* clone() const override { return new Dual(*this); }
    std::string TypeName() const override { return "Dual"; }
    std::string DisplayValue() const override { return "dual"; }
};

struct Ending {
    const char* name;
    void (*run)();
};
const Ending kEndings[] = {
    {"success", [] {}},
    {"standard", [] { throw std::length_error("length"); }},
    {"family", [] { throw App("family"); }},
    {"dual", [] { throw Dual(); }},
    {"foreign", [] { throw 1; }},
};
const Place kAt = {"guard.src", 9, "void guarded()"};

TEST(GuardTest, EachFormSortsWhatEscapesIntoItsThreeClauses) {
    std::string out;
    int composed = 0;  // descriptions are composed only when something fails
    const auto parameters = [&] { return std::to_string(++composed); };
    for (const Ending& body : kEndings) {
        out += std::string("plain, ") + body.name + ": " +
               Escaped([&] { TraceGuard(kAt, parameters, "comment", body.run); }) + "\n";
        for (const Ending& cleanUp : kEndings) {
            int cleanUps = 0;
            const std::string escaped = Escaped([&] {
                TraceGuardWithCleanUp(kAt, parameters, "comment", body.run, [&] {
                    ++cleanUps;
                    cleanUp.run();
                });
            });
            out += std::string("clean-up, ") + body.name + ", " + cleanUp.name + ": " + escaped +
                   " (clean-ups: " + std::to_string(cleanUps) + ")\n";
        }
    }
    ExpectFile("guards.txt", out);
    EXPECT_EQ(TraceGuard(kAt, "", "", [] { return 5; }), 5);
    EXPECT_EQ(TraceGuardWithCleanUp(kAt, "", "", [] { return 6; }, [] {}), 6);
}

// Failures of an application's DisplayValue or strategy inside the library's operations.
TEST(GuardTest, LibraryOperationsTraceOrTranslateWhatFailsInside) {
    Log log;
    ModuleScope module;
    const RecordingStrategy throwsInt(log, "int", [](const StdException&) { throw 42; }),
        throwsDual(log, "dual", [](const StdException&) { throw Dual(); }),
        throwsApp(log, "app", [](const StdException&) { throw App("strategy"); });
    AppException original = App("original"), handler = App("handler");
    original.SetReportingStrategy(&throwsInt);
    StdException::SetDefaultReportingStrategy(&throwsDual);
    StdException::SetFallbackReportingStrategy(&throwsApp);
    const BadHandlerException bad("b.src", 6, "void b()", "", "", &original, &handler);
    const auto failOnce = [](const std::string& what) {
        fault = nullptr;
        throw App(what + " failed");
    };
    // When both held exceptions fail, the handler's failure comes out: it is rendered first.
    ExpectFile("escapes.txt",
               "AsString: " + Escaped([&] { fault = failOnce, bad.AsString(); }) +
                   "\nAsXML: " + Escaped([&] { fault = failOnce, bad.AsXML(); }) +
                   "\nReportException, own strategy: " + Escaped([&] { original.ReportException(); }) +
                   "\nReportException, default strategy: " + Escaped([&] { handler.ReportException(); }) +
                   "\nFallbackReportException: " + Escaped([&] { original.FallbackReportException(); }) + "\n");
}

}  // namespace
