// Recording.h: the recording on the throw path (Recording.cpp), shared by
// the sources of throws: on Linux the hook on the unwinder's entry
// (StackCopy.cpp) and on 64-bit Windows the vectored exception handler
// (WindowsHandler.cpp), which record the throwing thread's registers and a
// copy of the top of its stack for a later unwind; on i686 Windows the hook
// on the unwinder's entry (WindowsHook.cpp), which records the return
// addresses themselves. Either lives in one block from the free store as
// long as the thrown object or a reference to it. Internal to the capture
// library.

#ifndef QUORBEL_THROWSITES_RECORDING_H
#define QUORBEL_THROWSITES_RECORDING_H

#include "StdException/ThrowSiteLink.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <typeinfo>

namespace Quorbel {
namespace ThrowSites {

// The destructor of a thrown object as the runtime calls it: 32-bit MinGW's
// libstdc++ calls it as a member function (__thiscall, the object in ECX).
// GCC says that the convention is meant for members; it applies it all the
// same, as libstdc++'s own declaration of __cxa_throw needs.
#if defined(_WIN32) && defined(__i386__)
#    define QUORBEL_THROWSITES_DESTROY_CALL __thiscall
#else
#    define QUORBEL_THROWSITES_DESTROY_CALL
#endif
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wattributes"
typedef void(QUORBEL_THROWSITES_DESTROY_CALL* DestroyFunction)(void*);
#pragma GCC diagnostic pop

// The registers that the unwinder's entry finds on x86-64 (unused where the
// frames are walked at the throw): those a call preserves, the stack pointer
// of the caller after the call returns, and the return address into the
// caller (the runtime's throw).
struct Registers {
    std::uintptr_t rbx, rbp, r12, r13, r14, r15, rsp, rip;
};

// The most bytes of the stack that a throw copies, from the stack pointer up.
constexpr std::size_t stackCopyLimit = 8192;

// Capture: what one throw recorded. The thrown object holds one reference
// until it dies; each copy of a record that took its frames holds another.
// The frames are unwound from the copy of the stack on the first reading,
// under the symbols' lock, and kept beside it.
struct Capture {
    std::atomic<std::size_t> references;
    Capture* next;                       // the next capture in its bucket of live objects
    const void* object;                  // the thrown object while it lives, else null
    const std::type_info* type;          // the thrown type
    DestroyFunction destroy;             // the thrown type's destructor, or null
    Registers registers;                 // at the entry of the unwinder
    std::size_t stackBytes;              // copied from registers.rsp up
    std::size_t stackSpan;               // Windows: the stack's bytes from registers.rsp to its end
    bool unwound;                        // frames hold the unwound return addresses
    bool truncated;                      // the copy of the stack ended before the frames did
    std::size_t count;                   // frames unwound
    std::uintptr_t* frames;              // count return addresses, innermost first (malloc,
                                         // or stack itself where the throw walked them)
    alignas(16) unsigned char stack[1];  // stackBytes bytes (the block is allocated longer)
};

// Records the throw of the exception whose unwinder header is header, called
// by the unwinder's entry with the registers it found. Does nothing for
// anything but the first raise of a C++ exception of libstdc++ or libc++abi,
// for a record that holds its frames already (the core library says which),
// and while capture is paused. Returns the real entry, to which the hook
// then jumps.
extern "C" void* QuorbelRecordRaise(void* header, const Registers* registers);

// What recording reads and changes of a runtime's exception header.
struct Thrown {
    void* object;                // the thrown object, just after the unwinder's header
    const std::type_info* type;  // the thrown type
    DestroyFunction* destroy;    // the header's destructor field
};

// Whether the raise of the exception whose unwinder header is header is to
// be recorded, filling in thrown: only the first raise of a C++ exception of
// libstdc++ or libc++abi, not one recorded before, nor a record that holds
// its frames already (the core library says which), nor while paused.
bool ToRecord(void* header, Thrown* thrown);

// Enters capture, its frames or stack filled in, in the table of live
// captures with one reference for the object, and hands the runtime the
// destructor that drops it when the object dies.
void Publish(Capture* capture, const Thrown& thrown);

// Counts a throw that got no frames.
void CountDropped();

// The capture of the live object, with a reference for the caller, or null;
// *type (if given) gets the thrown type.
Capture* Acquire(const void* object, const std::type_info** type);
void Retain(Capture* capture);
void Release(Capture* capture);

// Pauses (true) or resumes recording, for measurements in one process.
void PauseRecording(bool pause);

// How many throws got no frames: no memory for their capture, or a stack
// that is not the thread's own.
std::uint64_t DroppedThrows();

// What the core library offers, once it has connected; else null.
const QuorbelCoreHooks* CoreHooks();

}  // namespace ThrowSites
}  // namespace Quorbel

#endif
