// The throws on 32-bit Windows: a hook on the unwinder's entry.
//
// 32-bit MinGW unwinds with DWARF tables (libgcc_s_dw2-1.dll) and raises no
// structured exception at a throw. The runtime's throw calls the unwinder's
// entry, _Unwind_RaiseException, through its module's import address table;
// when the library is loaded, every loaded module's entries that hold the
// unwinder's are replaced by the hook's, which reaches the throws of
// libstdc++-6.dll (its __cxa_throw and std::rethrow_exception) and of every
// module that calls the entry itself. The hook walks the return addresses
// with _Unwind_Backtrace, records them and jumps to the real entry, which
// sees the call the runtime made.
//
// Not reached: modules loaded after the library (their tables are not
// patched), modules linked with a static libgcc (they call their own
// unwinder), and calls through an address from GetProcAddress. A rethrow
// (throw;) goes through _Unwind_Resume_or_Rethrow instead and keeps the first
// throw's frames all the same.

#include "Recording.h"
#include "WindowsCapture.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include <unwind.h>
#include <windows.h>

#include <psapi.h>

#if !defined(__i386__)
#    error "the hook on the unwinder's entry is that of i686"
#endif

// The hook, which libstdc++'s throw calls as it would call the unwinder's
// entry (cdecl, the header on the stack): it passes the header to
// quorbelRecordRaise and jumps to the entry that returns with the stack as it
// came, so that the unwinder finds the runtime's call. Every register that
// the record may change is one that a call does not preserve.
asm(R"(
    .text
    .p2align 4
quorbelRaiseHook:
    .cfi_startproc
    pushl 4(%esp)
    .cfi_adjust_cfa_offset 4
    call quorbelRecordRaise
    addl $4, %esp
    .cfi_adjust_cfa_offset -4
    jmp *%eax
    .cfi_endproc
)");

extern "C" void quorbelRaiseHook() __asm__("quorbelRaiseHook");

// What _Unwind_Find_FDE fills in: the bases of the module's frame table and
// the start of the function that the entry found covers.
struct dwarf_eh_bases {
    void* tbase;
    void* dbase;
    void* func;
};
extern "C" const void* _Unwind_Find_FDE(void* pc, dwarf_eh_bases* bases);

namespace Quorbel {
namespace ThrowSites {

namespace {

// The unwinder's own entry, to which the hook jumps.
void* realRaise = nullptr;
// This library's image, whose frames (the record's and the hook's) come
// before the runtime's throw.
std::uintptr_t selfStart = 0;
std::uintptr_t selfSize = 0;

struct Walk {
    std::uintptr_t* frames;
    std::size_t count;
};

_Unwind_Reason_Code collect(_Unwind_Context* context, void* argument) {
    Walk* walk = static_cast<Walk*>(argument);
    const std::uintptr_t pc = _Unwind_GetIP(context);
    if (pc == 0) return _URC_END_OF_STACK;
    if (walk->count == 0 && pc - selfStart < selfSize) return _URC_NO_REASON;
    walk->frames[walk->count++] = pc;
    return walk->count < QuorbelThrowSiteMaxFrames ? _URC_NO_REASON : _URC_END_OF_STACK;
}

// Records the throw of thrown with count return addresses, innermost first,
// from the return into the runtime's throw on: one block for the capture and
// its frames, published; without memory, counted as a throw without frames.
void RecordFrames(const Thrown& thrown, const std::uintptr_t* frames, std::size_t count) {
    void* block = std::malloc(offsetof(Capture, stack) + count * sizeof(std::uintptr_t));
    if (block == nullptr) {
        CountDropped();
        return;
    }
    Capture* capture = new (block) Capture;
    capture->registers = Registers();
    capture->stackBytes = count * sizeof(std::uintptr_t);
    capture->stackSpan = 0;
    capture->frames = reinterpret_cast<std::uintptr_t*>(capture->stack);
    std::memcpy(capture->frames, frames, capture->stackBytes);
    capture->count = count;
    capture->unwound = true;
    capture->truncated = false;
    Publish(capture, thrown);
}

}  // namespace

// Called by the hook: records the throw of the exception whose unwinder
// header is header, and returns the unwinder's entry. The stack of a 32-bit
// Windows caller is aligned to 4 bytes only.
extern "C" void* recordRaise(void* header) __asm__("quorbelRecordRaise");
extern "C" __attribute__((used, force_align_arg_pointer)) void* recordRaise(void* header) {
    Thrown thrown;
    if (header != nullptr && ToRecord(header, &thrown)) {
        std::uintptr_t frames[QuorbelThrowSiteMaxFrames];
        Walk walk = {frames, 0};
        _Unwind_Backtrace(&collect, &walk);
        RecordFrames(thrown, frames, walk.count);
    }
    return realRaise;
}

// Patches the import tables of the modules loaded by now, this library's
// own left alone (it calls the unwinder's entry through realRaise only).
bool InstallCapture(HMODULE self) {
    HMODULE unwinder = GetModuleHandleW(L"libgcc_s_dw2-1.dll");
    realRaise = unwinder != nullptr
                    ? reinterpret_cast<void*>(GetProcAddress(unwinder, "_Unwind_RaiseException"))
                    : nullptr;
    MODULEINFO info;
    if (realRaise == nullptr ||
        !GetModuleInformation(GetCurrentProcess(), self, &info, sizeof info))
        return false;
    selfStart = reinterpret_cast<std::uintptr_t>(info.lpBaseOfDll);
    selfSize = info.SizeOfImage;
    HMODULE modules[1024];
    DWORD bytes = 0;
    if (!EnumProcessModules(GetCurrentProcess(), modules, sizeof modules, &bytes)) return false;
    std::size_t patched = 0;
    for (std::size_t i = 0; i < bytes / sizeof *modules && i < 1024; ++i)
        if (modules[i] != self)
            patched += ReplaceImports(modules[i], realRaise,
                                      reinterpret_cast<const void*>(&quorbelRaiseHook));
    return patched != 0;
}

// The unwinder's entry back in the tables, for the modules that stay.
// The hook records the frames themselves: there is nothing to unwind.
void UnwindCapture(Capture*) {}

void RemoveCapture() {
    HMODULE modules[1024];
    DWORD bytes = 0;
    if (!EnumProcessModules(GetCurrentProcess(), modules, sizeof modules, &bytes)) return;
    for (std::size_t i = 0; i < bytes / sizeof *modules && i < 1024; ++i)
        ReplaceImports(modules[i], reinterpret_cast<const void*>(&quorbelRaiseHook), realRaise);
}

// From the frame tables that the modules registered with the unwinder (a
// module linked with a static libgcc registers them with its own): none
// there, no start.
std::uintptr_t FunctionStart(std::uintptr_t pc) {
    dwarf_eh_bases bases = {nullptr, nullptr, nullptr};
    if (_Unwind_Find_FDE(reinterpret_cast<void*>(pc), &bases) == nullptr) return 0;
    return reinterpret_cast<std::uintptr_t>(bases.func);
}

}  // namespace ThrowSites
}  // namespace Quorbel
