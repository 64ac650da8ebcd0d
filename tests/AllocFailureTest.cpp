#include <gtest/gtest.h>

#include "FailingAllocator.h"
#include "Probes.h"

#include <cstdio>
#include <functional>
#include <ios>
#include <memory>
#include <new>
#include <sstream>
#include <stdexcept>

using namespace Quorbel;
using probes::AppException;

// Each public operation runs on realistic inputs while its n-th allocation
// fails, for n = 1, 2, ... until it completes without reaching the failure.
// For every n: only what the operation may let through escapes, a failure is
// never swallowed, every object stays renderable, and once everything is gone
// every allocation has been released.

namespace {

// What escaped an operation, as bits. kTranslated: the std::bad_alloc of the
// failing allocation, as a guard turned it into a CPPException; kOther:
// anything else, a family member included.
enum Escape { kNothing = 0, kTranslated = 1, kBadAlloc = 2, kStreamFailure = 4, kOther = 8 };
// Guarded operations with steps outside their guard: composing a parameter
// description, creating a stream or result string, handing the text out.
// What fails there passes unchanged.
const int kPartlyGuarded = kTranslated | kBadAlloc | kStreamFailure;

// All longer than the short-string buffer, so that every copy allocates.
const std::string kFile = "sweep-source-file.src";
const std::string kSig = "void Sweep::Operation(int, double)";
const std::string kParams = "parameter-description-text";
const std::string kComment = "developer-comment-text-here";

// A CPPException with three entries, translated from an AppException that was
// translated from an UnexpectedException at medium detail.
CPPException Chained(const std::exception& error) {
    UnexpectedException bottom(kFile, 10, kSig, kParams, kComment);
    bottom.SetDetailLevel(MediumDetail);
    AppException middle(kFile, 20, kSig, kParams, kComment, "application-failure-text");
    middle.AddPreviousException(&bottom);
    CPPException top(kFile, 30, kSig, kParams, kComment, error);
    top.AddPreviousException(&middle);
    top.AddToCallTrace(kFile, 31, kSig, kParams, kComment);
    top.AddToCallTrace(kFile, 32, kSig, kParams, kComment);
    return top;
}

// The inputs of the operations, built anew for every run: strategies on the
// records and in the fallback slot, a BadHandlerException that holds another
// one, assignment targets, and a stream that raises when it fails.
struct Fixture {
    probes::StrategyLog log;
    probes::RecordingStrategy strategy{log, "recording-strategy-name"};
    std::runtime_error error{"runtime-error-message-text"};
    std::ostringstream out;
    CPPException cpp = Chained(error);
    UnexpectedException unexpected{kFile, 40, kSig, kParams, kComment};
    BadHandlerException inner{kFile, 50, kSig, kParams, kComment, &unexpected, &cpp};
    BadHandlerException bad{kFile, 60, kSig, kParams, kComment, &cpp, &inner};
    CPPException cppTarget{kFile, 70, kSig, kParams, kComment, error};
    UnexpectedException unexpectedTarget{kFile, 80, kSig, kParams, kComment};
    BadHandlerException badTarget{kFile, 90, kSig, kParams, kComment, &cppTarget, &cppTarget};

    Fixture() {
        out.exceptions(std::ios_base::badbit);
        cpp.SetReportingStrategy(&strategy);
        unexpected.SetReportingStrategy(&strategy);
        bad.SetReportingStrategy(&strategy);
        StdException::SetFallbackReportingStrategy(&strategy);
    }
    ~Fixture() {
        StdException::SetDefaultReportingStrategy(nullptr);
        StdException::SetFallbackReportingStrategy(nullptr);
    }
    // Both reports of every record; throws if a record cannot be rendered.
    // Not out: what it holds after a failure of its own is up to the standard
    // string insertion.
    std::string Reports() const {
        const StdException* const records[] = {&cpp,       &unexpected,       &inner,    &bad,
                                               &cppTarget, &unexpectedTarget, &badTarget};
        std::string reports;
        for (const StdException* x : records) reports += x->AsString() + x->AsXML();
        return reports;
    }
};

struct Operation {
    const char* name;
    int mayEscape;
    std::function<void(Fixture&)> run;
    bool failureChangesNothing = true;  // what it escapes from leaves every report as it was
};

const Operation operations[] = {
    {"UnexpectedException()", kPartlyGuarded,
     [](Fixture&) { UnexpectedException(kFile, 1, kSig, kParams, kComment); }},
    {"CPPException()", kPartlyGuarded,
     [](Fixture& f) { CPPException(kFile, 1, kSig, kParams, kComment, f.error); }},
    {"BadHandlerException()", kPartlyGuarded,
     [](Fixture& f) { BadHandlerException(kFile, 1, kSig, kParams, kComment, &f.cpp, &f.bad); }},
    {"UnexpectedException(copy)", kPartlyGuarded,
     [](Fixture& f) { UnexpectedException{f.unexpected}; }},
    {"CPPException(copy)", kPartlyGuarded, [](Fixture& f) { CPPException{f.cpp}; }},
    {"BadHandlerException(copy)", kPartlyGuarded, [](Fixture& f) { BadHandlerException{f.bad}; }},
    // Guarded as a whole, copying the source included.
    {"UnexpectedException::clone", kTranslated,
     [](Fixture& f) { std::unique_ptr<StdException>(f.unexpected.clone()); }},
    {"CPPException::clone", kTranslated,
     [](Fixture& f) { std::unique_ptr<StdException>(f.cpp.clone()); }},
    {"BadHandlerException::clone", kTranslated,
     [](Fixture& f) { std::unique_ptr<StdException>(f.bad.clone()); }},
    // Unguarded: a strategy's clone raises std::bad_alloc; the clones of
    // previous and held exceptions let out what passed their own guards.
    {"UnexpectedException::operator=", kBadAlloc,
     [](Fixture& f) { f.unexpectedTarget = f.unexpected; }, false},
    {"CPPException::operator=", kBadAlloc | kTranslated,
     [](Fixture& f) { f.cppTarget = f.cpp; }, false},
    {"BadHandlerException::operator=", kBadAlloc | kTranslated,
     [](Fixture& f) { f.badTarget = f.bad; }, false},
    {"AddToCallTrace", kPartlyGuarded,
     [](Fixture& f) { f.cpp.AddToCallTrace(kFile, 2, kSig, kParams, kComment); }},
    {"AddPreviousException", kTranslated,
     [](Fixture& f) { f.unexpected.AddPreviousException(&f.bad); }},
    {"SetDetailLevel", kNothing, [](Fixture& f) { f.bad.SetDetailLevel(MediumDetail); }},
    {"SetReportingStrategy", kBadAlloc,
     [](Fixture& f) { f.cpp.SetReportingStrategy(&f.strategy); }},
    {"SetDefaultReportingStrategy", kBadAlloc,
     [](Fixture& f) { StdException::SetDefaultReportingStrategy(&f.strategy); }},
    {"SetFallbackReportingStrategy", kBadAlloc,
     [](Fixture& f) { StdException::SetFallbackReportingStrategy(&f.strategy); }},
    {"StdException::AsString", kPartlyGuarded, [](Fixture& f) { f.cpp.AsString(); }},
    {"StdException::AsXML", kPartlyGuarded, [](Fixture& f) { f.cpp.AsXML(); }},
    {"BadHandlerException::AsString", kPartlyGuarded, [](Fixture& f) { f.bad.AsString(); }},
    {"BadHandlerException::AsXML", kPartlyGuarded, [](Fixture& f) { f.bad.AsXML(); }},
    {"operator<<", kTranslated, [](Fixture& f) { f.out << f.bad; }},
    {"ReportException", kTranslated, [](Fixture& f) { f.bad.ReportException(); }},
    {"FallbackReportException", kTranslated, [](Fixture& f) { f.cpp.FallbackReportException(); }},
};

// Arms the failure for its lifetime, so that it is over before a handler runs.
struct Armed {
    explicit Armed(long n) { failing_allocator::FailNthAllocation(n); }
    ~Armed() { failing_allocator::Disarm(); }
};

// Runs the operation with its n-th allocation failing; says what escaped.
int RunFailing(const Operation& op, Fixture& f, long n) {
    try {
        const Armed armed(n);
        op.run(f);
        return kNothing;
    } catch (const StdException& x) {
        x.AsString() + x.AsXML();  // what escapes can be rendered, too
        const std::string failure = "std::bad_alloc\r\nstd::bad_alloc";
        if (x.TypeName() == "CPPException" && x.DisplayValue() == failure) return kTranslated;
        std::fprintf(stderr, "escaped: %s\n", x.AsString().c_str());
        return kOther;
    } catch (const std::bad_alloc&) {
        return kBadAlloc;
    } catch (const std::ios_base::failure&) {
        return kStreamFailure;
    } catch (...) {
        return kOther;
    }
}

// Sweeps one operation; adds the number of failures it provoked to points.
void Sweep(const Operation& op, long& points) {
    for (long n = 1;; ++n) {
        const long before = failing_allocator::LiveAllocations();
        int escaped = kNothing;
        bool provoked = false, changed = false;
        {
            Fixture f;
            const std::string reports = f.Reports();
            escaped = RunFailing(op, f, n);
            provoked = failing_allocator::Failed();
            changed = f.Reports() != reports;
        }
        const long leaked = failing_allocator::LiveAllocations() - before;
        ASSERT_EQ(escaped != kNothing, provoked) << "failing allocation " << n;
        ASSERT_EQ(escaped & ~op.mayEscape, 0) << "failing allocation " << n;
        ASSERT_EQ(leaked, 0) << "failing allocation " << n;
        ASSERT_FALSE(escaped != kNothing && changed && op.failureChangesNothing)
            << "failing allocation " << n << " changed a report";
        if (!provoked) return;
        ++points;
    }
}

}  // namespace

TEST(AllocFailureTest, EveryOperationSurvivesEveryFailingAllocation) {
    // The first rendering fills caches of the standard library that are kept
    // for good; they would count as leaks.
    {
        Fixture warmUp;
        warmUp.out << warmUp.bad;
    }
    long points = 0;
    for (const Operation& op : operations) {
        SCOPED_TRACE(op.name);
        Sweep(op, points);
    }
    std::printf("allocation-failure sweep: %ld injection points over %zu operations\n", points,
                sizeof operations / sizeof operations[0]);
    EXPECT_GT(points, 300);
}
