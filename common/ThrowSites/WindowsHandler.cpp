// The throws on 64-bit Windows: a vectored exception handler.
//
// MinGW-w64's unwinder on x86-64 raises every C++ throw as a first-chance
// structured exception (code 0x20474343, its one parameter the unwinder's
// header of the exception) before it unwinds anything: whichever module
// threw, on any thread, also for a rethrow. A vectored exception handler,
// installed first when the library is loaded, sees it with the stack intact
// and records, as the hook on Linux does, the registers of the raise and a
// copy of the top of the stack: a memory copy, whatever the depth. The
// frames are unwound from the copy when they are first read, with the
// system's unwinder (RtlLookupFunctionEntry, RtlVirtualUnwind), which reads
// the modules' unwind tables.

#include "Recording.h"
#include "WindowsCapture.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

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

LONG CALLBACK onException(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode != gccThrow || record->NumberParameters < 1)
        return EXCEPTION_CONTINUE_SEARCH;
    Thrown thrown;
    void* header = reinterpret_cast<void*>(record->ExceptionInformation[0]);
    if (header == nullptr || !ToRecord(header, &thrown)) return EXCEPTION_CONTINUE_SEARCH;
    // The throw records the registers that locate its frames and a copy of
    // the top of the stack, from RaiseException's frame up: the frames are
    // unwound from the copy when someone reads them.
    // A stack that is not the thread's own (a fiber's) is not copied.
    const CONTEXT& context = *info->ContextRecord;
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    const std::uintptr_t rsp = context.Rsp;
    const std::size_t bytes =
        rsp >= low && rsp < high ? std::min<std::size_t>(stackCopyLimit, high - rsp) : 0;
    void* block = bytes != 0 ? std::malloc(offsetof(Capture, stack) + bytes) : nullptr;
    if (block == nullptr) {
        CountDropped();
        return EXCEPTION_CONTINUE_SEARCH;
    }
    Capture* capture = new (block) Capture;
    capture->registers = {context.Rbx, context.Rbp, context.R12, context.R13,
                          context.R14, context.R15, rsp,         context.Rip};
    capture->stackBytes = bytes;
    capture->stackSpan = high - rsp;
    std::memcpy(capture->stack, reinterpret_cast<const void*>(rsp), capture->stackBytes);
    capture->frames = nullptr;
    capture->count = 0;
    capture->unwound = false;
    capture->truncated = false;
    Publish(capture, thrown);
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

// Unwinds the copy of capture's stack into its frames with the system's
// unwinder (RtlLookupFunctionEntry, RtlVirtualUnwind), which reads the
// modules' unwind tables and the values saved on the stack: the copy lies at
// the start of a scratch area as large as the stack was above the throw, so
// every read of the unwinder stays inside it (what the limit left out of the
// copy reads as zeros), and every register that pointed into the stack
// points into the scratch area. The frames start past those of
// RaiseException and of the unwinder's entry that called it, at the return
// into the runtime's throw, as the hook on Linux records them.
void UnwindCapture(Capture* capture) {
    std::uintptr_t* frames = static_cast<std::uintptr_t*>(
        std::malloc(QuorbelThrowSiteMaxFrames * sizeof(std::uintptr_t)));
    void* scratch = frames == nullptr ? nullptr
                                      : VirtualAlloc(nullptr, capture->stackSpan,
                                                     MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (scratch == nullptr) {
        std::free(frames);
        return;
    }
    std::memcpy(scratch, capture->stack, capture->stackBytes);
    const Registers& saved = capture->registers;
    const DWORD64 original = saved.rsp;
    const DWORD64 low = reinterpret_cast<DWORD64>(scratch);
    const DWORD64 copied = low + capture->stackBytes, high = low + capture->stackSpan;
    const auto moved = [&](DWORD64 value) {
        return value >= original && value - original < capture->stackSpan ? value - original + low
                                                                          : value;
    };
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
    context.Rip = saved.rip;
    context.Rsp = low;
    DWORD64* const preserved[] = {&context.Rbx, &context.Rbp, &context.R12,
                                  &context.R13, &context.R14, &context.R15};
    const DWORD64 values[] = {saved.rbx, saved.rbp, saved.r12, saved.r13, saved.r14, saved.r15};
    for (std::size_t i = 0; i < 6; ++i) *preserved[i] = moved(values[i]);
    std::size_t count = 0;
    // The first frame outside the system's modules is the unwinder's entry.
    bool recording = false;
    while (count < QuorbelThrowSiteMaxFrames && context.Rsp >= low && context.Rsp < high) {
        // A frame past the copy: the frames went on there (its return
        // address, read from past the copy, is zero).
        if (context.Rsp >= copied) {
            capture->truncated = true;
            break;
        }
        if (context.Rip == 0) break;
        DWORD64 base = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &base, nullptr);
        if (recording)
            frames[count++] = static_cast<std::uintptr_t>(context.Rip);
        else
            recording = !inSystemModule(base);
        DWORD64 before[6];
        for (std::size_t i = 0; i < 6; ++i) before[i] = *preserved[i];
        if (function == nullptr) {  // a leaf function: the return address is on top
            context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
            context.Rsp += 8;
        } else {
            void* handlerData = nullptr;
            DWORD64 establisher = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, context.Rip, function, &context, &handlerData,
                             &establisher, nullptr);
        }
        // A register restored from the copy holds what the thread saved: an
        // address in its stack points into the scratch area.
        for (std::size_t i = 0; i < 6; ++i)
            if (*preserved[i] != before[i]) *preserved[i] = moved(*preserved[i]);
    }
    VirtualFree(scratch, 0, MEM_RELEASE);
    capture->frames = frames;
    capture->count = count;
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
