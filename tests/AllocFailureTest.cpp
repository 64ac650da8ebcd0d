// Each public operation runs while its n-th allocation fails, for n = 1, 2,
// ... until it completes without reaching the failure. For every n a failure
// is never swallowed, nothing leaks, and an operation that promises to leave
// things as they were does. What escapes, with every entry the guards
// recorded, is listed once per operation and compared with
// tests/expected/alloc-failures.txt.

#include <cstdlib>
#include <functional>
#include <new>
#include <set>

#include "Probes.h"

using namespace Quorbel;
using namespace probes;

// The global operator new, replaced: it fails the n-th allocation after it
// is armed and counts the blocks alive. The other forms of new and delete of
// the standard library come through these.
namespace failing {
long countdown = 0, live = 0;  // countdown: allocations left up to the failing one, 0 when disarmed
bool failed = false;
}  // namespace failing

void* operator new(std::size_t size) {
    if (failing::countdown > 0 && --failing::countdown == 0) {
        failing::failed = true;
        throw std::bad_alloc();
    }
    void* block = std::malloc(size > 0 ? size : 1);
    if (block == nullptr) throw std::bad_alloc();
    return ++failing::live, block;
}
void operator delete(void* block) noexcept {
    failing::live -= block != nullptr;
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept { operator delete(block); }

namespace {

// Longer than the short-string buffer, so that every copy allocates.
const std::string kFile = "sweep-source-file.src", kSig = "void Sweep::Operation(int)";

// The inputs, built anew for every run: a chain at medium detail, a
// BadHandlerException holding another one, strategies, assignment targets.
struct Fixture {
    Log log;
    RecordingStrategy strategy{log, "rec"};  // notes its destruction without allocating
    std::runtime_error error{"runtime-error-message-text"};
    CPPException cpp{kFile, 30, kSig, "parameters-of-the-cpp-exception", "", error};
    AppException app{kFile, 20, kSig, "", "comment-of-the-app-exception", "application-failure"};
    UnexpectedException unexpected{kFile, 40, kSig, "", ""};
    BadHandlerException inner{kFile, 50, kSig, "", "", &unexpected, &cpp};
    CPPException cppTarget{kFile, 70, kSig, "", "", std::logic_error("logic-error-message-text")};
    UnexpectedException unexpectedTarget{kFile, 80, kSig, "", ""};
    BadHandlerException badTarget{kFile, 90, kSig, "", "", &cppTarget, &cppTarget};

    Fixture() {
        log.reserve(1000);
        app.SetDetailLevel(MediumDetail);
        cpp.AddPreviousException(&app);
        cpp.AddToCallTrace(kFile, 31, kSig, "", "");
        cpp.SetReportingStrategy(&strategy);
        StdException::SetFallbackReportingStrategy(&strategy);
    }
    ~Fixture() {
        StdException::SetDefaultReportingStrategy(nullptr);
        StdException::SetFallbackReportingStrategy(nullptr);
    }
    std::string Reports() const {
        std::string reports;
        for (const StdException* x : {(const StdException*)&cpp, (const StdException*)&inner, (const StdException*)&cppTarget,
                                      (const StdException*)&unexpectedTarget, (const StdException*)&badTarget})
            reports += x->AsString() + x->AsXML();
        return reports;
    }
};

const struct {
    const char* name;
    std::function<void(Fixture&)> run;
    bool failureChangesNothing;
} kOperations[] = {
    {"UnexpectedException()", [](Fixture&) { UnexpectedException(kFile, 1, kSig, "", ""); }, true},
    {"CPPException()", [](Fixture& f) { CPPException(kFile, 1, kSig, "", "", f.error); }, true},
    {"BadHandlerException()", [](Fixture& f) { BadHandlerException(kFile, 1, kSig, "", "", &f.unexpected, &f.inner); }, true},
    {"UnexpectedException(copy)", [](Fixture& f) { UnexpectedException{f.unexpected}; }, true},
    {"CPPException(copy)", [](Fixture& f) { CPPException{f.cpp}; }, true},
    {"BadHandlerException(copy)", [](Fixture& f) { BadHandlerException{f.inner}; }, true},
    {"UnexpectedException::clone", [](Fixture& f) { delete f.unexpected.clone(); }, true},
    {"CPPException::clone", [](Fixture& f) { delete f.cpp.clone(); }, true},
    {"BadHandlerException::clone", [](Fixture& f) { delete f.inner.clone(); }, true},
    {"UnexpectedException::operator=", [](Fixture& f) { f.unexpectedTarget = f.unexpected; }, false},
    {"CPPException::operator=", [](Fixture& f) { f.cppTarget = f.cpp; }, false},
    {"BadHandlerException::operator=", [](Fixture& f) { f.badTarget = f.inner; }, false},
    {"AddToCallTrace", [](Fixture& f) { f.cpp.AddToCallTrace(kFile, 2, kSig, "", ""); }, true},
    {"AddPreviousException", [](Fixture& f) { f.unexpected.AddPreviousException(&f.app); }, true},
    {"SetReportingStrategy", [](Fixture& f) { f.app.SetReportingStrategy(&f.strategy); }, false},
    {"SetDefaultReportingStrategy", [](Fixture& f) { StdException::SetDefaultReportingStrategy(&f.strategy); }, true},
    {"SetFallbackReportingStrategy", [](Fixture& f) { StdException::SetFallbackReportingStrategy(&f.strategy); }, true},
    {"StdException::AsString", [](Fixture& f) { f.cpp.AsString(); }, true},
    {"StdException::AsXML", [](Fixture& f) { f.cpp.AsXML(); }, true},
    {"BadHandlerException::AsString", [](Fixture& f) { f.inner.AsString(); }, true},
    {"BadHandlerException::AsXML", [](Fixture& f) { f.inner.AsXML(); }, true},
    {"operator<<", [](Fixture& f) { std::ostringstream os; os.exceptions(std::ios::badbit), os << f.unexpected; }, true},
    {"ReportException", [](Fixture& f) { f.cpp.ReportException(); }, true},
    {"FallbackReportException", [](Fixture& f) { f.cpp.FallbackReportException(); }, true},
};

// What escapes the operation when its n-th allocation fails, one line ("" for nothing).
template <class Operation>
std::string RunFailing(const Operation& op, Fixture& f, long n) {
    failing::countdown = n, failing::failed = false;
    const std::string escaped = Escaped([&] {
        op.run(f);
        failing::countdown = 0;  // what the operation did not reach does not fail later
    });
    if (escaped == "(nothing escaped)") return "";
    return std::regex_replace(escaped, std::regex("\r\n"), "\\r\\n");
}

TEST(AllocFailureTest, EveryOperationSurvivesEveryFailingAllocation) {
    {
        Fixture warmUp;  // fills caches that are kept for good
        std::ostringstream() << warmUp.inner;
        RunFailing(kOperations[0], warmUp, 1);
    }
    std::string out;
    for (const auto& op : kOperations) {
        std::set<std::string> escapes;
        for (long n = 1;; ++n) {
            SCOPED_TRACE(std::string(op.name) + ", failing allocation " + std::to_string(n));
            std::string escaped(64, '-');  // holds a block of its own before and after
            bool changed = false;
            const long before = failing::live;
            {
                Fixture f;
                const std::string reports = f.Reports();
                escaped = RunFailing(op, f, n);
                changed = f.Reports() != reports;
            }
            ASSERT_EQ(escaped.empty(), !failing::failed);
            ASSERT_EQ(failing::live, before);
            if (!failing::failed) break;
            ASSERT_FALSE(changed && op.failureChangesNothing);
            escapes.insert(std::string(op.name) + ": " + escaped + "\n");
        }
        for (const std::string& escaped : escapes) out += escaped;
    }
    ExpectFile("alloc-failures.txt", out);
}

}  // namespace
