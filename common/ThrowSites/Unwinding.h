// Unwinding.h: the frames of a capture, unwound from its copy of the stack
// with elfutils' libdwfl (Unwinding.cpp), as perf and eu-stack unwind a copy
// of another thread's stack. Called under the symbols' lock, with their
// Dwfl of the process. Internal to the capture library.

#ifndef QUORBEL_THROWSITES_UNWINDING_H
#define QUORBEL_THROWSITES_UNWINDING_H

#include "Recording.h"

#include <elfutils/libdwfl.h>

namespace Quorbel {
namespace ThrowSites {

// Gives dwfl the thread callbacks that serve a capture's registers and copy
// of the stack; once per Dwfl, after its modules are reported.
bool AttachUnwinder(Dwfl* dwfl);

// Unwinds the frames of capture into its frames and count, from the caller
// of the runtime's throw outwards, and says in truncated whether the copy of
// the stack ended before the frames did. Returns the last address that the
// unwinding reached, for the caller to see whether a module it does not know
// stopped it.
std::uintptr_t Unwind(Dwfl* dwfl, Capture& capture);

}  // namespace ThrowSites
}  // namespace Quorbel

#endif
