// Each public operation runs while its n-th allocation fails, for n = 1, 2,
// ... until it completes without reaching the failure. For every n a failure
// is never swallowed, nothing leaks, and an operation that promises to leave
// things as they were does. What escapes, with every entry the guards
// recorded, is listed once per operation and compared with
// tests/expected/alloc-failures.txt.

#include <cstdlib>
#include <new>
#include <set>

#include "Operations.h"

using namespace probes;

// The global operator new, replaced: it fails the n-th allocation after it
// is armed and counts the blocks alive. The other forms of new and delete of
// the standard library come through these.
namespace failing {
long countdown = 0;  // allocations left up to the failing one, 0 when disarmed
long live = 0;
bool failed = false;
}  // namespace failing

void* operator new(std::size_t size) {
    if (failing::countdown > 0 && --failing::countdown == 0) {
        failing::failed = true;
        throw std::bad_alloc();
    }
    void* block = std::malloc(size > 0 ? size : 1);
    if (block == nullptr) throw std::bad_alloc();
    ++failing::live;
    return block;
}
void operator delete(void* block) noexcept {
    failing::live -= block != nullptr;
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept { operator delete(block); }

namespace {

TEST(AllocFailureTest, EveryOperationSurvivesEveryFailingAllocation) {
    {
        Fixture warmUp;  // fills caches that are kept for good
        Escaped([&] { BadHandlerException(kFile, 1, kSig, "", "", &warmUp.inner, nullptr); });
    }
    std::string out;
    for (const auto& op : kOperations) {
        std::set<std::string> escapes;
        for (long n = 1;; ++n) {
            SCOPED_TRACE(std::string(op.name) + ", failing allocation " + std::to_string(n));
            std::string escaped(64, '-');  // holds a block of its own before and after
            const long before = failing::live;
            {
                Fixture f;
                const ModuleScope module;  // empties the module slots before f goes
                const std::string reports = f.Reports();
                failing::countdown = n;
                failing::failed = false;
                const std::string result = Escaped([&] {
                    op.run(f);
                    failing::countdown = 0;  // what the operation did not reach does not fail later
                });
                escaped = result;  // a copy keeps the block (a move would not, with libc++)
                // A failure is never swallowed, and changes nothing.
                ASSERT_EQ(escaped == "(nothing escaped)", !failing::failed);
                ASSERT_EQ(failing::failed ? f.Reports() : reports, reports);
            }
            ASSERT_EQ(failing::live, before);
            if (!failing::failed) break;
            escapes.insert(std::string(op.name) + ": " +
                           std::regex_replace(escaped, std::regex("\r\n"), "\\r\\n") + "\n");
        }
        for (const std::string& escaped : escapes) out += escaped;
    }
    ExpectFile("alloc-failures.txt", out);
}

}  // namespace
