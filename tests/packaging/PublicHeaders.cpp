// Includes every public header and instantiates its templates, so that a
// compiler in a given language mode checks all of their code.

#include <StdException/StdException>
#include <StdException/Guard>

#include <string>

namespace {

int Guarded() {
    return QUORBEL_GUARD("", [] { return std::string("comment"); }, [] { return 1; });
}

int GuardedWithCleanUp() {
    return QUORBEL_GUARD_WITH_CLEANUP("", "", [] { return 2; }, [] {});
}

Quorbel::UnexpectedException Made() { return QUORBEL_MAKE(Quorbel::UnexpectedException, "", ""); }

}  // namespace

int main() {
    Quorbel::OwnedPtr<Quorbel::StdException> held;
    held.reset(Made().clone());
    return Guarded() + GuardedWithCleanUp() + (held.get() == nullptr ? 1 : 0);
}
