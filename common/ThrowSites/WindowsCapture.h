// WindowsCapture.h: what the two sources of throws on Windows share with
// Windows.cpp, which loads the library, reads the modules and names the
// frames: on x86-64 the vectored exception handler (WindowsHandler.cpp), on
// i686 the hook on the unwinder's entry (WindowsHook.cpp). Internal to the
// capture library.

#ifndef QUORBEL_THROWSITES_WINDOWSCAPTURE_H
#define QUORBEL_THROWSITES_WINDOWSCAPTURE_H

#include <cstddef>
#include <cstdint>

#include <windows.h>

namespace Quorbel {
namespace ThrowSites {

struct Capture;
struct Thrown;

// Starts recording throws when the library is loaded (self is its module);
// false where throws cannot reach it.
bool InstallCapture(HMODULE self);

// Stops it before the library is unloaded.
void RemoveCapture();

// The address of the start of the function that holds pc, from the unwind
// tables; 0 where they have no entry for it.
std::uintptr_t FunctionStart(std::uintptr_t pc);

// Unwinds the frames of a capture that recorded a copy of the stack, on its
// first reading (under the caller's lock).
void UnwindCapture(Capture* capture);

// Replaces with to every entry of the import address tables of module that
// holds from; returns how many it replaced.
std::size_t ReplaceImports(HMODULE module, const void* from, const void* to);

}  // namespace ThrowSites
}  // namespace Quorbel

#endif
