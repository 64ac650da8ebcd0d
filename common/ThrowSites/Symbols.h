// Symbols.h: the functions, files and lines of recorded frames (Symbols.cpp),
// read with elfutils' libdwfl away from the throw path. Internal to the
// capture library.

#ifndef QUORBEL_THROWSITES_SYMBOLS_H
#define QUORBEL_THROWSITES_SYMBOLS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Quorbel {
struct NativeFrame;

namespace ThrowSites {
struct Capture;

// The function of the frame that ends the frames of a capture whose copy of
// the stack ended before they did.
constexpr const char* stackCopyEnd = "(the copy of the stack ends here)";

// Appends to out the frames of capture, innermost first, unwinding them on
// the first call; ends them with a frame of function stackCopyEnd where the
// copy of the stack ended first.
void ResolveCapture(Capture* capture, std::vector<NativeFrame>* out);

// Appends to out the frames of count return addresses, innermost first,
// without the capture machinery's own (QuorbelCaptureHooks::resolve).
void ResolveFrames(const std::uintptr_t* frames, std::size_t count, std::vector<NativeFrame>* out);

// Sets the directories searched for debugging information before the
// system's; modules are read again on the next resolve.
void SetDebugFileDirectories(const std::vector<std::string>* directories);

}  // namespace ThrowSites
}  // namespace Quorbel

#endif
