// The throws on 64-bit Windows: a vectored exception handler.
//
// MinGW-w64's unwinder on x86-64 raises every C++ throw as a first-chance
// structured exception (code 0x20474343, its one parameter the unwinder's
// header of the exception) before it unwinds anything: whichever module
// threw, on any thread, also for a rethrow. A vectored exception handler,
// installed first when the library is loaded, sees it with the stack intact
// and walks the return addresses from the handler's context with the
// system's unwinder (RtlLookupFunctionEntry, RtlVirtualUnwind), which reads
// the modules' unwind tables and allocates nothing.

#include "Recording.h"
#include "WindowsCapture.h"

#include <windows.h>

#if !defined(__x86_64__)
#    error "the vectored exception handler walks the frames of x86-64 only"
#endif

namespace Quorbel {
namespace ThrowSites {

namespace {

// The code of the structured exception that MinGW-w64's unwinder raises for
// every throw ("GCC" and 0x20).
constexpr DWORD gccThrow = 0x20474343;

void* handler = nullptr;
// The modules of RaiseException, whose frames come before the unwinder's.
HMODULE systemModules[3];

bool inSystemModule(DWORD64 base) {
    if (base == 0) return false;
    for (HMODULE module : systemModules)
        if (module != nullptr && reinterpret_cast<DWORD64>(module) == base) return true;
    return false;
}

// Walks the return addresses from the handler's context into frames: past
// those of RaiseException and of the unwinder's entry that called it, from
// the return into the runtime's throw on, as the hook on Linux records them.
std::size_t walk(CONTEXT context, std::uintptr_t* frames, std::size_t limit) {
    // The walk ends where the stack pointer leaves the thread's stack: a
    // leaf function's return address is read from it.
    const NT_TIB* tib = reinterpret_cast<const NT_TIB*>(NtCurrentTeb());
    const DWORD64 low = reinterpret_cast<DWORD64>(tib->StackLimit);
    const DWORD64 high = reinterpret_cast<DWORD64>(tib->StackBase);
    std::size_t count = 0;
    // The first frame outside the system's modules is the unwinder's entry.
    bool recording = false;
    while (count < limit && context.Rip != 0 && context.Rsp >= low && context.Rsp < high) {
        DWORD64 base = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &base, nullptr);
        if (recording)
            frames[count++] = static_cast<std::uintptr_t>(context.Rip);
        else
            recording = !inSystemModule(base);
        if (function == nullptr) {  // a leaf function: the return address is on top
            context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
            context.Rsp += 8;
        } else {
            void* handlerData = nullptr;
            DWORD64 establisher = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, context.Rip, function, &context, &handlerData,
                             &establisher, nullptr);
        }
    }
    return count;
}

LONG CALLBACK onException(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode != gccThrow || record->NumberParameters < 1)
        return EXCEPTION_CONTINUE_SEARCH;
    Thrown thrown;
    void* header = reinterpret_cast<void*>(record->ExceptionInformation[0]);
    if (header == nullptr || !ToRecord(header, &thrown)) return EXCEPTION_CONTINUE_SEARCH;
    std::uintptr_t frames[QuorbelThrowSiteMaxFrames];
    RecordFrames(thrown, frames, walk(*info->ContextRecord, frames, QuorbelThrowSiteMaxFrames));
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

// The handler goes first in the chain.
bool InstallCapture(HMODULE) {
    systemModules[0] = GetModuleHandleW(L"ntdll.dll");
    systemModules[1] = GetModuleHandleW(L"kernelbase.dll");
    systemModules[2] = GetModuleHandleW(L"kernel32.dll");
    handler = AddVectoredExceptionHandler(1, &onException);
    return handler != nullptr;
}

void RemoveCapture() {
    RemoveVectoredExceptionHandler(handler);
    handler = nullptr;
}

// Through the chained entries of the function's parts: a cold part's entry
// chains to the function's own.
std::uintptr_t FunctionStart(std::uintptr_t pc) {
    DWORD64 base = 0;
    PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(pc, &base, nullptr);
    for (int depth = 0; function != nullptr && depth < 32; ++depth) {
        const unsigned char* info =
            reinterpret_cast<const unsigned char*>(base) + (function->UnwindData & ~DWORD(1));
        if ((function->UnwindData & 1) == 0 && ((info[0] >> 3) & UNW_FLAG_CHAININFO) == 0)
            return static_cast<std::uintptr_t>(base) + function->BeginAddress;
        if (function->UnwindData & 1) {  // an entry that points at another
            function = reinterpret_cast<PRUNTIME_FUNCTION>(const_cast<unsigned char*>(info));
            continue;
        }
        const std::size_t codes = (std::size_t(info[2]) + 1) & ~std::size_t(1);
        function =
            reinterpret_cast<PRUNTIME_FUNCTION>(const_cast<unsigned char*>(info) + 4 + codes * 2);
    }
    return 0;
}

}  // namespace ThrowSites
}  // namespace Quorbel
