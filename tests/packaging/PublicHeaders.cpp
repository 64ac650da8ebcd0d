// Includes every public header and instantiates its templates, so that a
// compiler in a given language mode checks all of their code.

#include <StdException/StdException>
#include <StdException/Guard>
#include <StdException/Strategies>

#include <sstream>
#include <string>

namespace {

int Guarded() {
    return QUORBEL_GUARD("", [] { return std::string("comment"); }, [] { return 1; });
}

int GuardedWithCleanUp() {
    return QUORBEL_GUARD_WITH_CLEANUP("", "", [] { return 2; }, [] {});
}

// Block guards in functions that return a value: no path may reach the end.
int Block(int n) {
    QUORBEL_TRY {
        return n;
    } QUORBEL_CATCH("n(" + std::to_string(n) + ")", [] { return std::string("comment"); })
}

int BlockWithCleanUp(int n) {
    QUORBEL_TRY {
        return n;
    } QUORBEL_CATCH_WITH_CLEANUP("", "", [] {})
}

Quorbel::UnexpectedException Made() { return QUORBEL_MAKE(Quorbel::UnexpectedException, "", ""); }

}  // namespace

int main() {
    Quorbel::ReportUncaughtExceptions();
    std::ostringstream os;
    Quorbel::StreamReportingStrategy stream(os, Quorbel::StreamReportingStrategy::XMLReport);
    Quorbel::CallbackReportingStrategy callback([](const Quorbel::StdException&) {});
    Quorbel::OwnedPtr<Quorbel::StdException> held;
    held.reset(Made().clone());
    stream.Report(*held);
    callback.Report(*held);
    os << stream << callback;
    return Guarded() + GuardedWithCleanUp() + Block(3) + BlockWithCleanUp(4) +
           (held.get() == nullptr ? 1 : 0);
}
