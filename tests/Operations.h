// The public operations on realistic inputs, for the allocation-failure
// sweep and the thread test.

#ifndef STDEXCEPTION_TESTS_OPERATIONS_H
#define STDEXCEPTION_TESTS_OPERATIONS_H

#include <functional>

#include "Probes.h"

namespace probes {

using namespace Quorbel;

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
    // The module slots are shared: these leave them empty again.
    {"SetDefaultReportingStrategy", [](Fixture& f) { ModuleScope(), StdException::SetDefaultReportingStrategy(&f.strategy); }, true},
    {"SetFallbackReportingStrategy", [](Fixture& f) { ModuleScope(), StdException::SetFallbackReportingStrategy(&f.strategy); }, true},
    {"StdException::AsString", [](Fixture& f) { f.cpp.AsString(); }, true},
    {"StdException::AsXML", [](Fixture& f) { f.cpp.AsXML(); }, true},
    {"BadHandlerException::AsString", [](Fixture& f) { f.inner.AsString(); }, true},
    {"BadHandlerException::AsXML", [](Fixture& f) { f.inner.AsXML(); }, true},
    {"operator<<", [](Fixture& f) { std::ostringstream os; os.exceptions(std::ios::badbit), os << f.unexpected; }, true},
    {"ReportException", [](Fixture& f) { f.cpp.ReportException(); }, true},
    {"FallbackReportException",
     [](Fixture& f) {
         const ModuleScope module;
         StdException::SetFallbackReportingStrategy(&f.strategy);
         f.cpp.FallbackReportException();
     },
     true},
};

}  // namespace probes

#endif
