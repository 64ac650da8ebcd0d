// The throw-site capture library, libStdExceptionThrowSites: its interposition.
//
// Loaded before the C++ runtime, the library interposes __cxa_throw: every
// throw in the process records the return addresses of the throwing thread's
// stack (Recording.cpp), found again by the address of the thrown object for
// as long as that object lives. The core library connects through
// QuorbelThrowSitesConnect (ThrowSiteLink.h) to look the frames up and to
// turn them into functions, files and lines (Symbols.cpp), which are read with
// elfutils' libdwfl from local files only (DebugFiles.cpp).
//
// Linux and ELF, libstdc++ and libgcc's unwinder; g++ and clang++.

#include "Interposition.h"
#include "Recording.h"
#include "Symbols.h"

#include "StdException/ThrowSiteLink.h"

#include <algorithm>
#include <cstdlib>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#define QUORBEL_THROWSITES_EXPORT __attribute__((visibility("default")))

namespace Quorbel {
namespace ThrowSites {

std::atomic<std::uintptr_t> ownLow{0};
std::atomic<std::uintptr_t> ownHigh{0};
std::atomic<std::uintptr_t> frontLow{0};
std::atomic<std::uintptr_t> frontHigh{0};

namespace {

typedef void (*ThrowFunction)(void*, std::type_info*, DestroyFunction);

// The C++ runtime's __cxa_throw, the next definition after this library.
std::atomic<ThrowFunction> realThrow{nullptr};
std::atomic<bool> initialised{false};

struct CodeRange {
    std::uintptr_t address;
    std::uintptr_t low;
    std::uintptr_t high;
};

// Finds the executable segments of the object that holds range->address.
int findExecutableSegments(dl_phdr_info* info, std::size_t, void* argument) {
    CodeRange* range = static_cast<CodeRange*>(argument);
    std::uintptr_t low = UINTPTR_MAX, high = 0;
    bool holds = false;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD) continue;
        std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
        std::uintptr_t end = start + segment.p_memsz;
        if (range->address >= start && range->address < end) holds = true;
        if (segment.p_flags & PF_X) {
            low = std::min(low, start);
            high = std::max(high, end);
        }
    }
    if (!holds || low >= high) return 0;
    range->low = low;
    range->high = high;
    return 1;
}

__attribute__((constructor)) void initialiseOnLoad() { Initialise(); }

[[noreturn]] void throwWithRuntime(void* object, std::type_info* type, DestroyFunction destroy) {
    ThrowFunction real = realThrow.load(std::memory_order_relaxed);
    if (real == nullptr) {
        static const char message[] =
            "libStdExceptionThrowSites: no __cxa_throw of the C++ runtime after this library\n";
        ssize_t written = write(STDERR_FILENO, message, sizeof message - 1);
        (void)written;
        std::abort();
    }
    real(object, type, destroy);
    __builtin_unreachable();
}

// What the core library offers.
std::atomic<const QuorbelCoreHooks*> coreHooks{nullptr};

// While set, throws record nothing: measurements compare throws with and
// without capture in one process.
std::atomic<bool> paused{false};

const QuorbelCaptureHooks captureHooks = {&LookupFrames, &ResolveFrames, &DroppedThrows,
                                          &SetDebugFileDirectories};

}  // namespace

void Initialise() {
    if (initialised.load(std::memory_order_acquire)) return;
    CodeRange own = {reinterpret_cast<std::uintptr_t>(&findExecutableSegments), 0, 0};
    dl_iterate_phdr(&findExecutableSegments, &own);
    ownLow.store(own.low, std::memory_order_relaxed);
    ownHigh.store(own.high, std::memory_order_relaxed);

    // RTLD_NEXT searches the objects after this one: past a sanitizer's
    // interceptor in front of this library too, on to libstdc++'s definition.
    ThrowFunction real = reinterpret_cast<ThrowFunction>(dlsym(RTLD_NEXT, "__cxa_throw"));
    realThrow.store(real, std::memory_order_relaxed);

    // The first definition in the search order: this library's own, or an
    // interceptor that calls this library's in turn. Its symbol's size bounds
    // the return address its call leaves on the stack.
    std::uintptr_t front = reinterpret_cast<std::uintptr_t>(dlsym(RTLD_DEFAULT, "__cxa_throw"));
    if (front != 0 && (front < own.low || front >= own.high)) {
        Dl_info info;
        void* entry = nullptr;
        if (dladdr1(reinterpret_cast<void*>(front), &info, &entry, RTLD_DL_SYMENT) != 0 &&
            entry != nullptr) {
            frontLow.store(front, std::memory_order_relaxed);
            frontHigh.store(front + static_cast<const ElfW(Sym)*>(entry)->st_size,
                            std::memory_order_relaxed);
        }
    }
    initialised.store(true, std::memory_order_release);
}

}  // namespace ThrowSites
}  // namespace Quorbel

using namespace Quorbel::ThrowSites;

// The C++ runtime's throw, called by every throw expression of the process
// (libstdc++'s own std::__throw_* included): records the stack, then throws
// through the runtime's __cxa_throw.
extern "C" QUORBEL_THROWSITES_EXPORT __attribute__((noreturn)) void __cxa_throw(
    void* object, std::type_info* type, void (*destroy)(void*)) {
    Initialise();
    // A family record that carries frames already (a translated or
    // re-thrown copy) needs no walk and no slot.
    const QuorbelCoreHooks* core = coreHooks.load(std::memory_order_acquire);
    if (paused.load(std::memory_order_relaxed) ||
        (core != nullptr && core->holdsFrames != nullptr && core->holdsFrames(object, type)))
        throwWithRuntime(object, type, destroy);
    throwWithRuntime(object, type, RecordThrow(object, type, destroy));
}

// Pauses capture (true) or resumes it (false).
extern "C" QUORBEL_THROWSITES_EXPORT void QuorbelThrowSitesPause(bool pause) {
    paused.store(pause, std::memory_order_relaxed);
}

// Connects the core library (null disconnects it) and hands it the hooks.
extern "C" QUORBEL_THROWSITES_EXPORT const QuorbelCaptureHooks* QuorbelThrowSitesConnect(
    const QuorbelCoreHooks* core) {
    coreHooks.store(core, std::memory_order_release);
    return &captureHooks;
}
