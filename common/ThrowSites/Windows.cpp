// The throw-site capture library on 64-bit Windows, StdExceptionThrowSites.dll.
//
// MinGW-w64's unwinder on x86-64 raises every C++ throw as a first-chance
// structured exception (code 0x20474343, its one parameter the unwinder's
// header of the exception) before it unwinds anything: whichever module
// threw, on any thread, also for a rethrow. A vectored exception handler,
// installed first when the library is loaded, sees it with the stack intact
// and walks the return addresses from the handler's context with the
// system's unwinder (RtlLookupFunctionEntry, RtlVirtualUnwind), which reads
// the modules' unwind tables and allocates nothing. Recording.cpp keeps them
// per live object as on Linux.
//
// A frame carries its module's path, the RVA of its address, the module's
// CodeView signature and age (its PDB's name on a symbol server) and, where
// an export of the module starts the function that holds the address, that
// export's name; nothing else names a function here, so no name is wrong.

#include "Interposition.h"
#include "Recording.h"
#include "Symbols.h"

#include "StdException/Demangle.h"
#include "StdException/ThrowSite"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include <windows.h>

#if !defined(__x86_64__)
#    error "the vectored exception handler walks the frames of x86-64 only"
#endif

#define QUORBEL_THROWSITES_EXPORT __declspec(dllexport)

namespace Quorbel {
namespace ThrowSites {

namespace {

// The code of the structured exception that MinGW-w64's unwinder raises for
// every throw ("GCC" and 0x20).
constexpr DWORD gccThrow = 0x20474343;

std::atomic<const QuorbelCoreHooks*> coreHooks{nullptr};
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
    const std::size_t count = walk(*info->ContextRecord, frames, QuorbelThrowSiteMaxFrames);
    void* block = std::malloc(offsetof(Capture, stack) + count * sizeof(std::uintptr_t));
    if (block == nullptr) {
        CountDropped();
        return EXCEPTION_CONTINUE_SEARCH;
    }
    Capture* capture = new (block) Capture;
    capture->registers = Registers();
    capture->stackBytes = count * sizeof(std::uintptr_t);
    capture->frames = reinterpret_cast<std::uintptr_t*>(capture->stack);
    std::memcpy(capture->frames, frames, capture->stackBytes);
    capture->count = count;
    capture->unwound = true;
    capture->truncated = false;
    Publish(capture, thrown);
    return EXCEPTION_CONTINUE_SEARCH;
}

// The parts of a loaded PE module that name its frames.
class Image {
public:
    explicit Image(HMODULE module) : base(reinterpret_cast<const unsigned char*>(module)) {
        const IMAGE_DOS_HEADER* dos = at<IMAGE_DOS_HEADER>(0);
        nt = dos->e_magic == IMAGE_DOS_SIGNATURE ? at<IMAGE_NT_HEADERS64>(dos->e_lfanew) : nullptr;
        if (nt != nullptr && (nt->Signature != IMAGE_NT_SIGNATURE ||
                              nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC))
            nt = nullptr;
    }

    // The CodeView signature GUID and age, in hex as symbol servers name
    // them; empty without a CodeView record.
    std::string BuildId() const {
        const IMAGE_DATA_DIRECTORY* entry = directory(IMAGE_DIRECTORY_ENTRY_DEBUG);
        if (entry == nullptr) return std::string();
        const IMAGE_DEBUG_DIRECTORY* debug = at<IMAGE_DEBUG_DIRECTORY>(entry->VirtualAddress);
        for (std::size_t i = 0; i < entry->Size / sizeof *debug; ++i) {
            if (debug[i].Type != IMAGE_DEBUG_TYPE_CODEVIEW || debug[i].SizeOfData < 24) continue;
            const unsigned char* record = at<unsigned char>(debug[i].AddressOfRawData);
            if (debug[i].AddressOfRawData == 0 || std::memcmp(record, "RSDS", 4) != 0) continue;
            GUID guid;
            DWORD age = 0;
            std::memcpy(&guid, record + 4, sizeof guid);
            std::memcpy(&age, record + 20, sizeof age);
            char text[64];
            std::snprintf(text, sizeof text, "%08lX%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X%lX",
                          static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3,
                          guid.Data4[0], guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4],
                          guid.Data4[5], guid.Data4[6], guid.Data4[7],
                          static_cast<unsigned long>(age));
            return text;
        }
        return std::string();
    }

    // The name of the export at rva, which starts a function; empty if none.
    std::string ExportAt(DWORD rva) const {
        const IMAGE_DATA_DIRECTORY* entry = directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
        if (entry == nullptr) return std::string();
        const IMAGE_EXPORT_DIRECTORY* exports = at<IMAGE_EXPORT_DIRECTORY>(entry->VirtualAddress);
        const DWORD* functions = at<DWORD>(exports->AddressOfFunctions);
        const DWORD* names = at<DWORD>(exports->AddressOfNames);
        const WORD* ordinals = at<WORD>(exports->AddressOfNameOrdinals);
        for (DWORD i = 0; i < exports->NumberOfNames; ++i)
            if (ordinals[i] < exports->NumberOfFunctions && functions[ordinals[i]] == rva)
                return at<char>(names[i]);
        return std::string();
    }

private:
    template <typename T>
    const T* at(DWORD64 rva) const {
        return reinterpret_cast<const T*>(base + rva);
    }
    const IMAGE_DATA_DIRECTORY* directory(int index) const {
        if (nt == nullptr || nt->OptionalHeader.NumberOfRvaAndSizes <= DWORD(index)) return nullptr;
        const IMAGE_DATA_DIRECTORY* entry = &nt->OptionalHeader.DataDirectory[index];
        return entry->VirtualAddress != 0 && entry->Size != 0 ? entry : nullptr;
    }

    const unsigned char* base;
    const IMAGE_NT_HEADERS64* nt;
};

// The start of the function that holds pc, through the chained entries of
// its parts (a cold part's entry chains to the function's own); 0 when the
// module's unwind table has no entry for it (a leaf function).
DWORD functionStart(DWORD64 pc, DWORD64* base) {
    PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(pc, base, nullptr);
    for (int depth = 0; function != nullptr && depth < 32; ++depth) {
        const unsigned char* info =
            reinterpret_cast<const unsigned char*>(*base) + (function->UnwindData & ~DWORD(1));
        if ((function->UnwindData & 1) == 0 && ((info[0] >> 3) & UNW_FLAG_CHAININFO) == 0)
            return function->BeginAddress;
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

std::string modulePath(HMODULE module) {
    wchar_t wide[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(module, wide, sizeof wide / sizeof *wide);
    if (length == 0 || length >= sizeof wide / sizeof *wide) return std::string();
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, wide, int(length), nullptr, 0, nullptr, nullptr);
    std::string path(size_t(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide, int(length), &path[0], size, nullptr, nullptr);
    return path;
}

std::string demangled(const std::string& name) {
    const std::string readable = Quorbel::Demangled(name.c_str());
    return readable.empty() ? name : readable;
}

}  // namespace

void ResolveCapture(Capture* capture, std::vector<NativeFrame>* out) {
    if (capture != nullptr && out != nullptr) ResolveFrames(capture->frames, capture->count, out);
}

void ResolveFrames(const std::uintptr_t* frames, std::size_t count, std::vector<NativeFrame>* out) {
    for (std::size_t i = 0; i < count; ++i) {
        NativeFrame frame = {frames[i], "", "", "", 0, false, 0, ""};
        HMODULE module = nullptr;
        // A return address may follow the function's last instruction.
        const DWORD64 pc = frames[i] - 1;
        if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                   GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               reinterpret_cast<LPCWSTR>(pc), &module)) {
            const Image image(module);
            frame.module = modulePath(module);
            frame.offset = frames[i] - reinterpret_cast<std::uintptr_t>(module);
            frame.buildId = image.BuildId();
            DWORD64 base = 0;
            const DWORD start = functionStart(pc, &base);
            if (start != 0 && base == reinterpret_cast<DWORD64>(module)) {
                const std::string name = image.ExportAt(start);
                if (!name.empty()) frame.function = demangled(name);
            }
        }
        out->push_back(frame);
    }
}

void SetDebugFileDirectories(const std::vector<std::string>*) {}

void* RealRaise() { return nullptr; }

bool HookActive() { return handler != nullptr; }

const QuorbelCoreHooks* CoreHooks() { return coreHooks.load(std::memory_order_acquire); }

}  // namespace ThrowSites
}  // namespace Quorbel

// Installs the handler first in the chain when the library is loaded, and
// removes it before the library goes.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    using namespace Quorbel::ThrowSites;
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        systemModules[0] = GetModuleHandleW(L"ntdll.dll");
        systemModules[1] = GetModuleHandleW(L"kernelbase.dll");
        systemModules[2] = GetModuleHandleW(L"kernel32.dll");
        handler = AddVectoredExceptionHandler(1, &onException);
    } else if (reason == DLL_PROCESS_DETACH && handler != nullptr) {
        RemoveVectoredExceptionHandler(handler);
        handler = nullptr;
    }
    return TRUE;
}

// Pauses capture (true) or resumes it (false).
extern "C" QUORBEL_THROWSITES_EXPORT void QuorbelThrowSitesPause(bool pause) {
    Quorbel::ThrowSites::PauseRecording(pause);
}

// Connects the core library (null disconnects it) and hands it the hooks.
extern "C" QUORBEL_THROWSITES_EXPORT const QuorbelCaptureHooks* QuorbelThrowSitesConnect(
    const QuorbelCoreHooks* core) {
    Quorbel::ThrowSites::coreHooks.store(core, std::memory_order_release);
    return &Quorbel::ThrowSites::captureHooks;
}
