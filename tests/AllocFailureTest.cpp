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
// the standard library come through these two.
namespace failing_allocator {
long countdown = 0;  // allocations left up to the failing one; 0: disarmed
bool failed = false;
long live = 0;
void FailNthAllocation(long n) {
    countdown = n;
    failed = false;
}
void Disarm() { countdown = 0; }
bool Failed() { return failed; }
long LiveAllocations() { return live; }
}  // namespace failing_allocator

void* operator new(std::size_t size) {
    using namespace failing_allocator;
    if (countdown > 0 && --countdown == 0) {
        failed = true;
        throw std::bad_alloc();
    }
    void* block = std::malloc(size > 0 ? size : 1);
    if (block == nullptr) throw std::bad_alloc();
    ++live;
    return block;
}
void operator delete(void* block) noexcept {
    if (block != nullptr) --failing_allocator::live;
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
    BadHandlerException bad{kFile, 60, kSig, "", "", &app, &inner};
    CPPException cppTarget{kFile, 70, kSig, "", "", std::logic_error("logic-error-message-text")};
    UnexpectedException unexpectedTarget{kFile, 80, kSig, "", ""};
    BadHandlerException badTarget{kFile, 90, kSig, "", "", &cppTarget, &cppTarget};

    Fixture() {
        log.reserve(1000);
        app.SetDetailLevel(MediumDetail);
        cpp.AddPreviousException(&app);
        cpp.AddToCallTrace(kFile, 31, kSig, "", "");
        cpp.SetReportingStrategy(&strategy);
        bad.SetReportingStrategy(&strategy);
        StdException::SetFallbackReportingStrategy(&strategy);
    }
    ~Fixture() {
        StdException::SetDefaultReportingStrategy(nullptr);
        StdException::SetFallbackReportingStrategy(nullptr);
    }
    std::string Reports() const {
        std::string reports;
        for (const StdException* x : {(const StdException*)&cpp, (const StdException*)&bad,
                                      (const StdException*)&cppTarget, (const StdException*)&unexpectedTarget,
                                      (const StdException*)&badTarget})
            reports += x->AsString() + x->AsXML();
        return reports;
    }
};

struct Operation {
    const char* name;
    std::function<void(Fixture&)> run;
    bool failureChangesNothing = true;
};

const Operation kOperations[] = {
    {"UnexpectedException()", [](Fixture&) { UnexpectedException(kFile, 1, kSig, "", ""); }},
    {"CPPException()", [](Fixture& f) { CPPException(kFile, 1, kSig, "", "", f.error); }},
    {"BadHandlerException()",
     [](Fixture& f) { BadHandlerException(kFile, 1, kSig, "", "", &f.unexpected, &f.inner); }},
    {"UnexpectedException(copy)", [](Fixture& f) { UnexpectedException{f.unexpected}; }},
    {"CPPException(copy)", [](Fixture& f) { CPPException{f.cpp}; }},
    {"BadHandlerException(copy)", [](Fixture& f) { BadHandlerException{f.inner}; }},
    {"UnexpectedException::clone", [](Fixture& f) { delete f.unexpected.clone(); }},
    {"CPPException::clone", [](Fixture& f) { delete f.cpp.clone(); }},
    {"BadHandlerException::clone", [](Fixture& f) { delete f.inner.clone(); }},
    {"UnexpectedException::operator=", [](Fixture& f) { f.unexpectedTarget = f.unexpected; }, false},
    {"CPPException::operator=", [](Fixture& f) { f.cppTarget = f.cpp; }, false},
    {"BadHandlerException::operator=", [](Fixture& f) { f.badTarget = f.inner; }, false},
    {"AddToCallTrace", [](Fixture& f) { f.cpp.AddToCallTrace(kFile, 2, kSig, "", ""); }},
    {"AddPreviousException", [](Fixture& f) { f.unexpected.AddPreviousException(&f.app); }},
    {"SetReportingStrategy", [](Fixture& f) { f.app.SetReportingStrategy(&f.strategy); }, false},
    {"SetDefaultReportingStrategy", [](Fixture& f) { StdException::SetDefaultReportingStrategy(&f.strategy); }},
    {"SetFallbackReportingStrategy", [](Fixture& f) { StdException::SetFallbackReportingStrategy(&f.strategy); }},
    {"StdException::AsString", [](Fixture& f) { f.cpp.AsString(); }},
    {"StdException::AsXML", [](Fixture& f) { f.cpp.AsXML(); }},
    {"BadHandlerException::AsString", [](Fixture& f) { f.inner.AsString(); }},
    {"BadHandlerException::AsXML", [](Fixture& f) { f.inner.AsXML(); }},
    {"operator<<",
     [](Fixture& f) {
         std::ostringstream os;
         os.exceptions(std::ios_base::badbit);  // or it would keep its failure to itself
         os << f.unexpected;
     }},
    {"ReportException", [](Fixture& f) { f.cpp.ReportException(); }},
    {"FallbackReportException", [](Fixture& f) { f.cpp.FallbackReportException(); }},
};

// Runs the operation with its n-th allocation failing; says what escaped.
std::string RunFailing(const Operation& op, Fixture& f, long n) {
    try {
        failing_allocator::FailNthAllocation(n);
        op.run(f);
        failing_allocator::Disarm();
        return "";
    } catch (const StdException& x) {
        failing_allocator::Disarm();
        return Normalized(x.AsXML());
    } catch (const std::bad_alloc&) {
        failing_allocator::Disarm();
        return "std::bad_alloc";
    } catch (...) {
        failing_allocator::Disarm();
        return "(something else)";
    }
}

TEST(AllocFailureTest, EveryOperationSurvivesEveryFailingAllocation) {
    {
        Fixture warmUp;  // fills caches that are kept for good
        std::ostringstream() << warmUp.bad;
        Normalized("<File>common/StdException/C</File><Line>1</Line><FuncSig>void f()</FuncSig>"
                   "\tFile : common/StdException/C\r\n\tLine : 1\r\n\tFunction signature : void f()");
    }
    std::string out;
    for (const Operation& op : kOperations) {
        std::set<std::string> escapes;
        for (long n = 1;; ++n) {
            SCOPED_TRACE(std::string(op.name) + ", failing allocation " + std::to_string(n));
            // escaped holds a block of its own before and after, whatever it receives.
            std::string escaped(64, '-');
            bool provoked = false, changed = false;
            const long before = failing_allocator::LiveAllocations();
            {
                Fixture f;
                const std::string reports = f.Reports();
                escaped = RunFailing(op, f, n);
                provoked = failing_allocator::Failed();
                changed = f.Reports() != reports;
            }
            ASSERT_EQ(escaped.empty(), !provoked);
            ASSERT_EQ(failing_allocator::LiveAllocations(), before);
            if (!provoked) break;
            ASSERT_FALSE(changed && op.failureChangesNothing);
            escapes.insert(escaped);
        }
        for (const std::string& escaped : escapes)  // one line each, its line breaks written as \r\n
            out += std::string(op.name) + ": " + std::regex_replace(escaped, std::regex("\r\n"), "\\r\\n") + "\n";
    }
    ExpectFile("alloc-failures.txt", out);
}

}  // namespace
