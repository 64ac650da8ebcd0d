// What the guards make of failures: the two guard forms at a fixed place for
// every way the guarded steps and the clean-up can end, and the library's own
// operations when an application's exception or strategy fails inside them.
// Compared with tests/expected/guards.txt and escapes.txt.

#include <StdException/Guard>
#include <StdException/Strategies>

#include "Probes.h"

using namespace Quorbel;
using namespace probes;

namespace {

// An application exception that is a standard exception too.
struct Dual : std::runtime_error, AppException {
    Dual() : std::runtime_error("dual"), AppException(App("dual")) {}
    Dual* clone() const override { return new Dual(*this); }
};

// The ways a guarded step or a clean-up can end; Run returns 5 where it ends at all.
const struct Ending {
    const char* name;
    void (*run)();
    int Run() const {
        run();
        return 5;
    }
} kEndings[] = {{"success", [] {}},
                {"standard", [] { throw std::length_error("length"); }},
                {"family", [] { throw App("family"); }},
                {"dual", [] { throw Dual(); }},
                {"foreign", [] { throw 1; }}};
const Place kAt = {"guard.src", 9, "void guarded()"};

// Block guards, in functions of their own, whose arguments hold commas
// outside parentheses. Composing their parameters notes the place, which must
// be the enclosing function's, as must that of a throw inside the block (with
// a null body).
Place at;
int described = 0;
std::uint32_t thrownAt = 0;
std::string Described(const Place& where) {
    at = where;
    return std::to_string(++described);
}
int Block(void (*body)()) {
    QUORBEL_TRY {
        if (body == nullptr) {
            thrownAt = __LINE__ + 1;
            QUORBEL_THROW(AppException, "", "inside", "thrown");
        }
        body();
        return 7;
    }
    QUORBEL_CATCH(Described(QUORBEL_HERE), std::pair<std::string, int>("c", 0).first)
}
int BlockWithCleanUp(void (*body)(), void (*cleanUp)()) {
    QUORBEL_TRY {
        body();
        return 9;
    }
    QUORBEL_CATCH_WITH_CLEANUP(Described(QUORBEL_HERE), "c", [&, cleanUp] { cleanUp(); })
}

// The lambda forms at a fixed place give guards.txt; the block forms end as
// the lambda forms would at their place.
TEST(GuardTest, EachFormSortsWhatEscapesIntoItsThreeClauses) {
    std::string out;
    int composed = 0;  // descriptions are composed only when something fails
    const auto parameters = [&] { return std::to_string(++composed); };
    for (const Ending& body : kEndings) {
        const auto plain = [&] {
            EXPECT_EQ(TraceGuard(kAt, parameters, "c", [&] { return body.Run(); }), 5);
        };
        out += std::string("plain, ") + body.name + ": " + Escaped(plain) + "\n";
        const std::string block = Escaped([&] { EXPECT_EQ(Block(body.run), 7); });
        const auto atBlock = [&] { TraceGuard(at, std::to_string(described), "c", body.run); };
        EXPECT_EQ(block, Escaped(atBlock));
        for (const Ending& cleanUp : kEndings) {
            int cleanUps = 0;
            const auto counted = [&] {
                ++cleanUps;
                cleanUp.run();
            };
            const auto guarded = [&] {
                TraceGuardWithCleanUp(kAt, parameters, "c", body.run, counted);
            };
            const std::string escaped = Escaped(guarded);
            out += std::string("clean-up, ") + body.name + ", " + cleanUp.name + ": " + escaped;
            out += " (clean-ups: " + std::to_string(cleanUps) + ")\n";
            const std::string block =
                Escaped([&] { EXPECT_EQ(BlockWithCleanUp(body.run, cleanUp.run), 9); });
            const auto atBlock = [&] {
                TraceGuardWithCleanUp(at, std::to_string(described), "c", body.run, cleanUp.run);
            };
            EXPECT_EQ(block, Escaped(atBlock));
        }
    }
    ExpectFile("guards.txt", out);
    EXPECT_EQ(described, 24);
    // A throw inside the block records the enclosing function, not a lambda.
    const std::string thrownInside = Escaped([] { Block(nullptr); });
    const auto thrownAtBlock = [] {
        throw AppException(at.file, thrownAt, at.funcsig, "", "inside", "thrown");
    };
    EXPECT_EQ(thrownInside, Escaped([&] { TraceGuard(at, "25", "c", thrownAtBlock); }));
    EXPECT_TRUE(std::regex_search(at.funcsig, std::regex("Block\\(void \\(\\*\\)\\(\\)\\)$")));
}

// Failures of an application's DisplayValue or strategy inside the library's
// operations. When both held exceptions of a BadHandlerException fail, the
// handler's failure comes out: it is rendered first.
TEST(GuardTest, LibraryOperationsTraceOrTranslateWhatFailsInside) {
    AppException original = App("original");
    AppException handler = App("handler");
    const CallbackReportingStrategy throwsInt([](const StdException&) { throw 42; });
    original.SetReportingStrategy(&throwsInt);
    const BadHandlerException bad("b.src", 6, "void b()", "", "", &original, &handler);
    // The first DisplayValue called fails, and only that one.
    const auto failOnce = [](const std::string& what) {
        fault = nullptr;
        throw App(what + " failed");
    };
    fault = failOnce;
    std::string out = "AsString: " + Escaped([&] { bad.AsString(); });
    fault = failOnce;
    out += "\nAsXML: " + Escaped([&] { bad.AsXML(); });
    out += "\nReportException: " + Escaped([&] { original.ReportException(); });
    const auto null = [&] {
        BadHandlerException("b.src", 2, "void b()", "", "", &original, nullptr);
    };
    out += "\nBadHandlerException(), null: " + Escaped(null) + "\n";
    ExpectFile("escapes.txt", out);
}

}  // namespace
