// The public operations on realistic inputs, for the allocation-failure
// sweep and the thread test.

#ifndef STDEXCEPTION_TESTS_OPERATIONS_H
#define STDEXCEPTION_TESTS_OPERATIONS_H

#include <functional>
#include <system_error>

#include <StdException/Reports>

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
    std::system_error systemError{std::make_error_code(std::errc::io_error), "system-error-text"};
    CPPException cpp{kFile, 30, kSig, "parameters-of-the-cpp-exception", "", error};
    AppException app{kFile, 20, kSig, "", "comment-of-the-app-exception", "application-failure"};
    UnexpectedException unexpected{kFile, 40, kSig, "", ""};
    BadHandlerException inner{kFile, 50, kSig, "", "", &unexpected, &cpp};
    CPPException cppTarget{kFile, 70, kSig, "", "", std::logic_error("logic-error-message-text")};
    UnexpectedException unexpectedTarget{kFile, 80, kSig, "", ""};
    BadHandlerException badTarget{kFile, 90, kSig, "", "", &cppTarget, &cppTarget};
    std::ostringstream stream;  // raises what fails while it is written to

    Fixture() {
        log.reserve(1000);
        stream.exceptions(std::ios::badbit);
        app.SetDetailLevel(MediumDetail);
        cpp.AddPreviousException(&app);
        cpp.AddToCallTrace(kFile, 31, kSig, "", "");
        cpp.SetReportingStrategy(&strategy);
    }
    // Reports: both reports of the records that no operation may change.
    std::string Reports() const {
        return cpp.AsString() + cpp.AsXML() + inner.AsString() + inner.AsXML();
    }
};

// Each with its name; the caller empties the module slots that an operation
// marked module fills.
const struct {
    const char* name;
    std::function<void(Fixture&)> run;
    bool module = false;  // touches a module-wide setting
} kOperations[] = {
    {"UnexpectedException()", [](Fixture&) { UnexpectedException(kFile, 1, kSig, "", ""); }},
    {"CPPException()", [](Fixture& f) { CPPException(kFile, 1, kSig, "", "", f.error); }},
    {"CPPException(system_error)",
     [](Fixture& f) { CPPException(kFile, 1, kSig, "", "", f.systemError); }},
    {"BadHandlerException()",
     [](Fixture& f) { BadHandlerException(kFile, 1, kSig, "", "", &f.unexpected, &f.inner); }},
    {"UnexpectedException(copy)", [](Fixture& f) { UnexpectedException{f.unexpected}; }},
    {"CPPException(copy)", [](Fixture& f) { CPPException{f.cpp}; }},
    {"BadHandlerException(copy)", [](Fixture& f) { BadHandlerException{f.inner}; }},
    {"UnexpectedException::clone", [](Fixture& f) { delete f.unexpected.clone(); }},
    {"CPPException::clone", [](Fixture& f) { delete f.cpp.clone(); }},
    {"BadHandlerException::clone", [](Fixture& f) { delete f.inner.clone(); }},
    {"UnexpectedException::operator=", [](Fixture& f) { f.unexpectedTarget = f.unexpected; }},
    {"CPPException::operator=", [](Fixture& f) { f.cppTarget = f.cpp; }},
    {"BadHandlerException::operator=", [](Fixture& f) { f.badTarget = f.inner; }},
    {"AddToCallTrace", [](Fixture& f) { f.cpp.AddToCallTrace(kFile, 2, kSig, "", ""); }},
    {"SetField", [](Fixture& f) { f.app.SetField(kFile, kSig); }},
    {"AddPreviousException", [](Fixture& f) { f.unexpected.AddPreviousException(&f.app); }},
    {"SetReportingStrategy", [](Fixture& f) { f.app.SetReportingStrategy(&f.strategy); }},
    {"SetDefaultReportingStrategy",
     [](Fixture& f) { StdException::SetDefaultReportingStrategy(&f.strategy); }, true},
    {"SetFallbackReportingStrategy",
     [](Fixture& f) { StdException::SetFallbackReportingStrategy(&f.strategy); }, true},
    {"StdException::AsString", [](Fixture& f) { f.cpp.AsString(); }},
    {"StdException::AsXML", [](Fixture& f) { f.cpp.AsXML(); }},
    {"BadHandlerException::AsString", [](Fixture& f) { f.inner.AsString(); }},
    {"BadHandlerException::AsXML", [](Fixture& f) { f.inner.AsXML(); }},
    {"AsJSON", [](Fixture& f) { AsJSON(f.inner); }},
    {"AsEscapedXML", [](Fixture& f) { AsEscapedXML(f.inner); }},
    {"operator<<", [](Fixture& f) { f.stream << f.unexpected; }},
    {"ReportException", [](Fixture& f) { f.cpp.ReportException(); }},
    {"FallbackReportException",
     [](Fixture& f) {
         StdException::SetFallbackReportingStrategy(&f.strategy);
         f.cpp.FallbackReportException();
     },
     true},
};

}  // namespace probes

#endif
