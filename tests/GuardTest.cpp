// What the guards make of failures: both block forms, for every way the
// guarded steps and the clean-up can end, compared with tests/expected/guards.txt.

#include <StdException/Guard>

#include <utility>

#include "Probes.h"

using namespace Quorbel;
using namespace probes;

// An application exception that is a standard exception too.
struct Dual : std::runtime_error, AppException {
    Dual() : std::runtime_error("dual"), AppException(App("dual")) {}
    Dual* clone() const override { return new Dual(*this); }
};

// The ways a guarded step or a clean-up can end; the last, a family exception
// thrown inside the block itself, only for the plain form.
const char* const kEndings[] = {"success", "standard", "family", "dual", "foreign", "inside"};

void End(int ending) {
    if (ending == 1) throw std::length_error("length");
    if (ending == 2) throw App("family");
    if (ending == 3) throw Dual();
    if (ending == 4) throw 1;
}

// Descriptions are numbered as they are composed, which is only when a
// failure passes; clean-ups are counted.
int composed = 0;
int cleanUps = 0;
std::string Next(int) { return std::to_string(++composed); }
void CleanUp(int ending) {
    ++cleanUps;
    End(ending);
}

// The guarded functions, outside any namespace and with plain signatures, so
// that every compiler names them alike; each guard stands on one line, whose
// number the compilers agree on. Their arguments hold commas outside parentheses.
int Block(int body) {
    QUORBEL_TRY {
        if (body == 5) QUORBEL_THROW(AppException, "", "inside", "thrown");
        End(body);
        return 7;
    }
    QUORBEL_CATCH([&, body] { return Next(body); }, std::pair<std::string, int>("c", 0).first)
}

int BlockWithCleanUp(int body, int end) {
    QUORBEL_TRY {
        End(body);
        return 9;
    }
    QUORBEL_CATCH_WITH_CLEANUP([&, body] { return Next(body); }, "c", [&, end] { CleanUp(end); })
}

namespace {

TEST(GuardTest, EachFormSortsWhatEscapesIntoItsThreeClauses) {
    std::string out;
    for (int body = 0; body < 6; ++body) {
        const std::string plain = Escaped([&] { EXPECT_EQ(Block(body), 7); });
        out += std::string("plain, ") + kEndings[body] + ": " + plain + "\n";
        for (int cleanUp = 0; body < 5 && cleanUp < 5; ++cleanUp) {
            cleanUps = 0;
            const auto guarded = [&] { EXPECT_EQ(BlockWithCleanUp(body, cleanUp), 9); };
            const std::string escaped = Escaped(guarded);
            out += std::string("clean-up, ") + kEndings[body] + ", " + kEndings[cleanUp] + ": ";
            out += escaped + " (clean-ups: " + std::to_string(cleanUps) + ")\n";
        }
    }
    ExpectFile("guards.txt", out);
}

}  // namespace
