// Interposition.h: the hook on the unwinder's entry (Interposition.cpp) and
// what it finds out once about the process. Internal to the capture library.

#ifndef QUORBEL_THROWSITES_INTERPOSITION_H
#define QUORBEL_THROWSITES_INTERPOSITION_H

#include "StdException/ThrowSiteLink.h"

namespace Quorbel {
namespace ThrowSites {

// The unwinder's _Unwind_RaiseException, the next definition after this
// library's (libgcc_s's, or LLVM's libunwind's); found on load, or by the
// first throw that comes before. Aborts with a message where there is none.
void* RealRaise();

// Whether throws reach the hook: the process's _Unwind_RaiseException is this
// library's, the unwinder's own is there to continue, and the program takes
// its C++ runtime or its unwinder from a shared library.
bool HookActive();

}  // namespace ThrowSites
}  // namespace Quorbel

#endif
