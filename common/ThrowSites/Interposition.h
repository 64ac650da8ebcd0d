// Interposition.h: what the interposition of __cxa_throw (Interposition.cpp)
// finds out once about the process, for the recording of a throw and the
// reading of its frames: where the capture machinery's own code lies.
// Internal to the capture library.

#ifndef QUORBEL_THROWSITES_INTERPOSITION_H
#define QUORBEL_THROWSITES_INTERPOSITION_H

#include <atomic>
#include <cstdint>

namespace Quorbel {
namespace ThrowSites {

// The executable code of this library, [ownLow, ownHigh).
extern std::atomic<std::uintptr_t> ownLow;
extern std::atomic<std::uintptr_t> ownHigh;
// A __cxa_throw that comes before this library's in the search order (the
// interceptor of a sanitizer runtime), [frontLow, frontHigh); empty if none.
extern std::atomic<std::uintptr_t> frontLow;
extern std::atomic<std::uintptr_t> frontHigh;

// Finds the above, once: by the load-time constructor, or by whichever
// caller comes before it. Each value is computed the same way by whichever
// thread gets there first, so a race only repeats the work.
void Initialise();

// Whether a return address lies in this library's code.
inline bool InOwnCode(std::uintptr_t address) {
    return address > ownLow.load(std::memory_order_relaxed) &&
           address <= ownHigh.load(std::memory_order_relaxed);
}

}  // namespace ThrowSites
}  // namespace Quorbel

#endif
