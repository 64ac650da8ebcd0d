// The throw-site capture library on Windows, StdExceptionThrowSites.dll:
// what its two forms share.
//
// The throws reach it in one of two ways, one a source file each. On x86-64
// MinGW-w64's unwinder raises every C++ throw as a structured exception,
// which a vectored exception handler sees (WindowsHandler.cpp). On i686 the
// unwinder raises none, and a hook on its entry, _Unwind_RaiseException, in
// the modules' import tables, sees the throws (WindowsHook.cpp). Either walks
// the return addresses at the throw, and this file publishes them;
// Recording.cpp keeps them per live object as on Linux.
//
// A frame carries its module's path, the RVA of its address, the module's
// CodeView signature and age (its PDB's name on a symbol server) and, where
// an export of the module starts the function that holds the address (as the
// unwind tables give the function's start), that export's name; nothing else
// names a function here, so no name is wrong.

#include "CodeView.h"
#include "Interposition.h"
#include "Recording.h"
#include "Symbols.h"
#include "WindowsCapture.h"

#include "StdException/Demangle.h"
#include "StdException/ThrowSite"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include <windows.h>

namespace Quorbel {
namespace ThrowSites {

namespace {

// Whether the throws of the process reach the capture.
bool installed = false;

// The parts of a loaded PE module (PE32 or PE32+) that name its frames and
// hold its imports. Every read stays inside the image, and those of the
// export table inside its directory.
class Image {
public:
    explicit Image(HMODULE module) : base(reinterpret_cast<const unsigned char*>(module)) {
        const IMAGE_DOS_HEADER* dos = at<IMAGE_DOS_HEADER>(0);
        if (dos->e_magic != IMAGE_DOS_SIGNATURE) return;
        const IMAGE_NT_HEADERS32* nt = at<IMAGE_NT_HEADERS32>(dos->e_lfanew);
        if (nt->Signature != IMAGE_NT_SIGNATURE) return;
        if (nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC)
            read(nt->OptionalHeader);
        else if (nt->OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC)
            read(at<IMAGE_NT_HEADERS64>(dos->e_lfanew)->OptionalHeader);
    }

    // Whether address lies in the image.
    bool Holds(std::uintptr_t address) const {
        const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(base);
        return address >= start && address - start < size;
    }

    // The CodeView signature GUID and age, in hex as symbol servers name
    // them; empty without a CodeView record.
    std::string BuildId() const {
        const IMAGE_DATA_DIRECTORY* entry = directory(IMAGE_DIRECTORY_ENTRY_DEBUG);
        if (entry == nullptr) return std::string();
        const IMAGE_DEBUG_DIRECTORY* debug = at<IMAGE_DEBUG_DIRECTORY>(entry->VirtualAddress);
        for (std::size_t i = 0; i < entry->Size / sizeof *debug; ++i) {
            if (debug[i].Type != IMAGE_DEBUG_TYPE_CODEVIEW || debug[i].SizeOfData < codeViewSize ||
                debug[i].AddressOfRawData == 0 || !spans(debug[i].AddressOfRawData, codeViewSize))
                continue;
            const std::string id = CodeViewId(at<unsigned char>(debug[i].AddressOfRawData));
            if (!id.empty()) return id;
        }
        return std::string();
    }

    // The name of the export at rva, which starts a function; empty if none,
    // or if the export table reaches outside its directory.
    std::string ExportAt(std::uintptr_t rva) const {
        const IMAGE_DATA_DIRECTORY* entry = directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
        if (entry == nullptr ||
            !inside(*entry, entry->VirtualAddress, sizeof(IMAGE_EXPORT_DIRECTORY)))
            return std::string();
        const IMAGE_EXPORT_DIRECTORY* exports = at<IMAGE_EXPORT_DIRECTORY>(entry->VirtualAddress);
        const std::uint64_t named = exports->NumberOfNames;
        if (!inside(*entry, exports->AddressOfFunctions, exports->NumberOfFunctions * 4ull) ||
            !inside(*entry, exports->AddressOfNames, named * 4) ||
            !inside(*entry, exports->AddressOfNameOrdinals, named * 2))
            return std::string();
        const DWORD* functions = at<DWORD>(exports->AddressOfFunctions);
        const DWORD* names = at<DWORD>(exports->AddressOfNames);
        const WORD* ordinals = at<WORD>(exports->AddressOfNameOrdinals);
        for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
            if (ordinals[i] >= exports->NumberOfFunctions || functions[ordinals[i]] != rva ||
                !inside(*entry, names[i], 1))
                continue;
            const char* name = at<char>(names[i]);
            const std::size_t room = entry->VirtualAddress + entry->Size - names[i];
            const void* end = std::memchr(name, '\0', room);
            return end != nullptr ? std::string(name, static_cast<const char*>(end))
                                  : std::string();
        }
        return std::string();
    }

    // Replaces with to every entry of the import address tables that holds
    // from, each written alone with the page made writable for it.
    std::size_t ReplaceImports(const void* from, const void* to) const {
        const IMAGE_DATA_DIRECTORY* entry = directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
        if (entry == nullptr) return 0;
        std::size_t replaced = 0;
        const IMAGE_IMPORT_DESCRIPTOR* imports = at<IMAGE_IMPORT_DESCRIPTOR>(entry->VirtualAddress);
        for (std::size_t i = 0; i < entry->Size / sizeof *imports && imports[i].FirstThunk != 0;
             ++i) {
            for (std::uint64_t rva = imports[i].FirstThunk; spans(rva, sizeof(void*));
                 rva += sizeof(void*)) {
                void* const* slot = at<void*>(rva);
                if (*slot == nullptr) break;
                if (*slot != from) continue;
                DWORD protection = 0;
                void** writable = const_cast<void**>(slot);
                if (!VirtualProtect(writable, sizeof *slot, PAGE_READWRITE, &protection)) continue;
                InterlockedExchangePointer(writable, const_cast<void*>(to));
                VirtualProtect(writable, sizeof *slot, protection, &protection);
                ++replaced;
            }
        }
        return replaced;
    }

private:
    template <typename T>
    const T* at(std::uint64_t rva) const {
        return reinterpret_cast<const T*>(base + rva);
    }
    template <typename OptionalHeader>
    void read(const OptionalHeader& optional) {
        size = optional.SizeOfImage;
        directories = optional.DataDirectory;
        directoryCount =
            std::min<DWORD>(optional.NumberOfRvaAndSizes, IMAGE_NUMBEROF_DIRECTORY_ENTRIES);
    }
    // Whether bytes bytes at rva lie in the image.
    bool spans(std::uint64_t rva, std::uint64_t bytes) const {
        return rva <= size && bytes <= size - rva;
    }
    // Whether bytes bytes at rva lie in the directory entry.
    static bool inside(const IMAGE_DATA_DIRECTORY& entry, std::uint64_t rva, std::uint64_t bytes) {
        return rva >= entry.VirtualAddress && rva - entry.VirtualAddress <= entry.Size &&
               bytes <= entry.Size - (rva - entry.VirtualAddress);
    }
    const IMAGE_DATA_DIRECTORY* directory(int index) const {
        if (directoryCount <= DWORD(index)) return nullptr;
        const IMAGE_DATA_DIRECTORY* entry = &directories[index];
        return entry->VirtualAddress != 0 && entry->Size != 0 &&
                       spans(entry->VirtualAddress, entry->Size)
                   ? entry
                   : nullptr;
    }

    const unsigned char* base;
    std::uint64_t size = 0;  // SizeOfImage; 0 where the headers are not a PE image's
    const IMAGE_DATA_DIRECTORY* directories = nullptr;
    DWORD directoryCount = 0;
};

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

std::size_t ReplaceImports(HMODULE module, const void* from, const void* to) {
    return Image(module).ReplaceImports(from, to);
}

void ResolveCapture(Capture* capture, std::vector<NativeFrame>* out) {
    if (capture == nullptr || out == nullptr) return;
    {
        static std::mutex lock;
        std::lock_guard<std::mutex> hold(lock);
        if (!capture->unwound) UnwindCapture(capture);
        capture->unwound = true;
    }
    // Unwound once, the frames stay as they are.
    ResolveFrames(capture->frames, capture->count, out);
    if (capture->truncated) {
        NativeFrame end = {0, "", stackCopyEnd, "", 0, false, 0, ""};
        out->push_back(end);
    }
}

void ResolveFrames(const std::uintptr_t* frames, std::size_t count, std::vector<NativeFrame>* out) {
    for (std::size_t i = 0; i < count; ++i) {
        NativeFrame frame = {frames[i], "", "", "", 0, false, 0, ""};
        HMODULE module = nullptr;
        // A return address may follow the function's last instruction.
        const std::uintptr_t pc = frames[i] - 1;
        if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                   GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                               reinterpret_cast<LPCWSTR>(pc), &module)) {
            const Image image(module);
            frame.module = modulePath(module);
            frame.offset = frames[i] - reinterpret_cast<std::uintptr_t>(module);
            frame.buildId = image.BuildId();
            const std::uintptr_t start = FunctionStart(pc);
            if (start != 0 && image.Holds(start)) {
                const std::string name =
                    image.ExportAt(start - reinterpret_cast<std::uintptr_t>(module));
                if (!name.empty()) frame.function = demangled(name);
            }
        }
        out->push_back(frame);
    }
}

void SetDebugFileDirectories(const std::vector<std::string>*) {}

bool HookActive() { return installed; }

}  // namespace ThrowSites
}  // namespace Quorbel

// Starts capture when the library is loaded, and stops it before the
// library goes.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    using namespace Quorbel::ThrowSites;
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        installed = InstallCapture(instance);
    } else if (reason == DLL_PROCESS_DETACH && installed) {
        RemoveCapture();
        installed = false;
    }
    return TRUE;
}
