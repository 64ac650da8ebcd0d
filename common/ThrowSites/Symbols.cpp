// The symbols of recorded frames, away from the throwing path: one Dwfl of
// the process, reported from /proc/self/maps on first use and again when an
// address falls in a module it does not know (loaded since), behind one
// mutex, as libdw is not safe to call from several threads at once. A frame
// takes its function, file and line from its module (ModuleFrames.cpp); its
// offset and build ID come from the dynamic linker's view of the loaded
// module, whatever is known of its symbols.

#include "Symbols.h"
#include "DebugFiles.h"
#include "ModuleFrames.h"
#include "Unwinding.h"

#include "StdException/Numbers.h"
#include "StdException/ThrowSite"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>
#include <link.h>
#include <unistd.h>

namespace Quorbel {
namespace ThrowSites {

namespace {

// The object the dynamic linker has loaded at an address: the start of its
// first mapping (0 when none), its load bias, its path and its GNU build ID.
struct LoadedObject {
    std::uintptr_t base;
    std::uintptr_t bias;
    std::string path;
    std::string buildId;
};

// The path of the program, which the dynamic linker leaves unnamed.
const std::string& programPath() {
    static const std::string path = [] {
        char buffer[4096];
        ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
        return length > 0 ? std::string(buffer, std::size_t(length)) : std::string();
    }();
    return path;
}

// The GNU build ID in the notes of a loaded object, as lower-case hex.
std::string loadedBuildId(const dl_phdr_info* info) {
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_NOTE) continue;
        const std::size_t align = segment.p_align == 8 ? 8 : 4;
        const auto padded = [align](std::size_t n) { return (n + align - 1) & ~(align - 1); };
        const char* note = reinterpret_cast<const char*>(info->dlpi_addr + segment.p_vaddr);
        const char* const end = note + segment.p_memsz;
        while (note + sizeof(ElfW(Nhdr)) <= end) {
            const ElfW(Nhdr)* header = reinterpret_cast<const ElfW(Nhdr)*>(note);
            const char* name = note + sizeof(ElfW(Nhdr));
            const char* bits = name + padded(header->n_namesz);
            if (bits + header->n_descsz > end) break;
            if (header->n_type == NT_GNU_BUILD_ID && header->n_namesz == 4 &&
                std::memcmp(name, "GNU", 4) == 0)
                return HexBytes(reinterpret_cast<const unsigned char*>(bits), header->n_descsz);
            note = bits + padded(header->n_descsz);
        }
    }
    return std::string();
}

// Return addresses, and what the dynamic linker knows of each.
struct LoadedSearch {
    const std::uintptr_t* frames;
    std::size_t count;
    std::vector<LoadedObject>* loaded;
};

int findLoaded(dl_phdr_info* info, std::size_t, void* argument) {
    const LoadedSearch& search = *static_cast<const LoadedSearch*>(argument);
    std::uintptr_t low = UINTPTR_MAX, high = 0;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD) continue;
        low = std::min<std::uintptr_t>(low, info->dlpi_addr + segment.p_vaddr);
        high = std::max<std::uintptr_t>(high, info->dlpi_addr + segment.p_vaddr + segment.p_memsz);
    }
    if (low >= high) return 0;
    LoadedObject object = {0, 0, std::string(), std::string()};
    for (std::size_t i = 0; i < search.count; ++i) {
        if (search.frames[i] <= low || search.frames[i] > high) continue;
        if (object.base == 0) {
            std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
            const char* name = info->dlpi_name != nullptr ? info->dlpi_name : "";
            object = {low & ~(page - 1), info->dlpi_addr,
                      name[0] != '\0' ? std::string(name) : programPath(), loadedBuildId(info)};
        }
        (*search.loaded)[i] = object;
    }
    return 0;
}

// A frame of address in loaded, with nothing known of its symbols.
NativeFrame bareFrame(std::uintptr_t address, const LoadedObject& loaded) {
    NativeFrame frame = {address,
                         loaded.path,
                         std::string(),
                         std::string(),
                         0,
                         false,
                         loaded.base != 0 ? address - loaded.bias : 0,
                         loaded.buildId};
    return frame;
}

struct ModuleCache {
    std::string name;
    Dwarf_Addr low;
    ModuleUnits units;
};

class Symbolizer {
public:
    Symbolizer() : dwfl(nullptr), reportedThisCall(false), attached(false) {
        static const Dwfl_Callbacks callbacks = {&dwfl_linux_proc_find_elf, &FindDebugFile, nullptr,
                                                 DebugPath()};
        dwfl = dwfl_begin(&callbacks);
        if (dwfl != nullptr) report();
    }
    ~Symbolizer() {
        if (dwfl != nullptr) dwfl_end(dwfl);
    }
    Symbolizer(const Symbolizer&) = delete;
    Symbolizer& operator=(const Symbolizer&) = delete;

    // Appends the frames of one return address, innermost first. loaded is
    // what the dynamic linker knows of the address.
    void describe(std::uintptr_t address, const LoadedObject& loaded,
                  std::vector<NativeFrame>& out) {
        // The return address follows the call: the call itself is before it.
        Dwarf_Addr pc = address - 1;
        Dwfl_Module* module = address != 0 ? moduleAt(pc, loaded) : nullptr;
        if (module == nullptr) {
            NativeFrame frame = bareFrame(address, loaded);
            out.push_back(frame);
            return;
        }
        // The same places throw again and again: their frames are kept,
        // until the modules are reported again or there are too many.
        std::map<std::uintptr_t, std::vector<NativeFrame> >::const_iterator known =
            described.find(address);
        if (known == described.end()) {
            if (described.size() >= describedLimit) described.clear();
            std::vector<NativeFrame> frames;
            describeInModule(address, module, loaded, frames);
            known = described.insert(std::make_pair(address, frames)).first;
        }
        out.insert(out.end(), known->second.begin(), known->second.end());
    }

    // Starts one call of resolve: modules are reported again at most once.
    void beginCall() { reportedThisCall = false; }

    // Unwinds the frames of capture from its copy of the stack, again after
    // reporting the modules where it stopped at an address that none holds
    // (one loaded since they were reported).
    void unwind(Capture& capture) {
        if (!attached) attached = AttachUnwinder(dwfl);
        if (!attached) return;
        const std::uintptr_t last = Unwind(dwfl, capture);
        if (last != 0 && moduleHolding(last - 1) == nullptr && !reportedThisCall) {
            reportedThisCall = true;
            report();
            Unwind(dwfl, capture);
        }
    }

    bool ready() const { return dwfl != nullptr; }

private:
    static const std::size_t describedLimit = 4096;

    Dwfl* dwfl;
    bool reportedThisCall;
    bool attached;  // the unwinder's thread callbacks are attached to dwfl
    std::map<Dwfl_Module*, ModuleCache> caches;
    std::map<std::uintptr_t, std::vector<NativeFrame> > described;

    void describeInModule(std::uintptr_t address, Dwfl_Module* module, const LoadedObject& loaded,
                          std::vector<NativeFrame>& out) {
        NativeFrame frame = bareFrame(address, loaded);
        ModuleCache& cache = cacheOf(module);
        frame.module = cache.name;
        // The return address follows the call: the call itself is before it.
        DescribeCall(module, cache.units, address - 1, frame, out);
    }

    void report() {
        described.clear();
        dwfl_report_begin(dwfl);
        dwfl_linux_proc_report(dwfl, getpid());
        dwfl_report_end(dwfl, nullptr, nullptr);
        // Modules no longer mapped are gone, and their caches with them.
        std::set<Dwfl_Module*> present;
        dwfl_getmodules(dwfl, &collectModule, &present, 0);
        for (std::map<Dwfl_Module*, ModuleCache>::iterator entry = caches.begin();
             entry != caches.end();) {
            if (present.count(entry->first) == 0)
                entry = caches.erase(entry);
            else
                ++entry;
        }
    }

    static int collectModule(Dwfl_Module* module, void**, const char*, Dwarf_Addr, void* present) {
        static_cast<std::set<Dwfl_Module*>*>(present)->insert(module);
        return DWARF_CB_OK;
    }

    static Dwarf_Addr lowOf(Dwfl_Module* module) {
        Dwarf_Addr low = 0;
        dwfl_module_info(module, nullptr, &low, nullptr, nullptr, nullptr, nullptr, nullptr);
        return low;
    }

    // The module whose addresses hold pc, if any.
    Dwfl_Module* moduleHolding(Dwarf_Addr pc) {
        Dwfl_Module* module = dwfl_addrmodule(dwfl, pc);
        Dwarf_Addr low = 0, high = 0;
        if (module == nullptr ||
            dwfl_module_info(module, nullptr, &low, &high, nullptr, nullptr, nullptr, nullptr) ==
                nullptr ||
            pc < low || pc >= high)
            return nullptr;
        return module;
    }

    // The module of pc; reports the process again when the dynamic linker
    // knows an object at pc that the Dwfl does not (or knows another one).
    Dwfl_Module* moduleAt(Dwarf_Addr pc, const LoadedObject& loaded) {
        Dwfl_Module* module = moduleHolding(pc);
        bool stale = loaded.base != 0 && (module == nullptr || lowOf(module) != loaded.base);
        if (stale && !reportedThisCall) {
            reportedThisCall = true;
            report();
            module = moduleHolding(pc);
        }
        return module;
    }

    ModuleCache& cacheOf(Dwfl_Module* module) {
        Dwarf_Addr low = 0;
        const char* name =
            dwfl_module_info(module, nullptr, &low, nullptr, nullptr, nullptr, nullptr, nullptr);
        std::string path = name != nullptr ? name : std::string();
        std::map<Dwfl_Module*, ModuleCache>::iterator entry = caches.find(module);
        if (entry == caches.end() || entry->second.name != path || entry->second.low != low) {
            ModuleCache fresh = {path, low, ModuleUnits()};
            entry = caches.insert(std::make_pair(module, fresh)).first;
            entry->second = fresh;
        }
        return entry->second;
    }
};

// Whether frames belong to the throw machinery: libgcc's unwinder, a
// sanitizer runtime, or a __cxa_throw (an interceptor linked into the program
// itself).
bool isMachinery(const NativeFrame* begin, const NativeFrame* end) {
    if (begin == end) return false;
    const std::string& module = begin->module;
    std::string file = module.substr(module.rfind('/') + 1);
    static const char* const runtimes[] = {"libgcc_s.", "libasan.",   "libtsan.",
                                           "libubsan.", "libhwasan.", "liblsan."};
    for (const char* runtime : runtimes)
        if (file.compare(0, std::strlen(runtime), runtime) == 0) return true;
    const std::string& function = (end - 1)->function;
    static const char suffix[] = "__cxa_throw";
    std::size_t length = sizeof suffix - 1;
    return function.size() >= length &&
           function.compare(function.size() - length, length, suffix) == 0;
}

// The symbolizer, made on first use. When the library is unloaded or the
// process exits, it is released with libdw's caches, so that a leak checker
// finds nothing left; a thread that still resolves then gets frames without
// symbols.
std::mutex symbolizerMutex;
Symbolizer* symbolizer = nullptr;
bool symbolizerReleased = false;
struct SymbolizerRelease {
    SymbolizerRelease() = default;
    SymbolizerRelease(const SymbolizerRelease&) = delete;
    SymbolizerRelease& operator=(const SymbolizerRelease&) = delete;
    ~SymbolizerRelease() {
        std::lock_guard<std::mutex> lock(symbolizerMutex);
        delete symbolizer;
        symbolizer = nullptr;
        symbolizerReleased = true;
    }
} symbolizerRelease;

}  // namespace

void ResolveFrames(const std::uintptr_t* frames, std::size_t count, std::vector<NativeFrame>* out) {
    if (out == nullptr || count == 0) return;
    // The dynamic linker is asked before the mutex is taken: a constructor
    // running under its lock may be resolving too.
    std::vector<LoadedObject> loaded(count, LoadedObject{0, 0, std::string(), std::string()});
    LoadedSearch search = {frames, count, &loaded};
    dl_iterate_phdr(&findLoaded, &search);
    std::lock_guard<std::mutex> lock(symbolizerMutex);
    if (symbolizer == nullptr && !symbolizerReleased) symbolizer = new Symbolizer();
    if (symbolizer != nullptr) symbolizer->beginCall();
    bool innermost = true;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t first = out->size();
        if (symbolizer != nullptr && symbolizer->ready())
            symbolizer->describe(frames[i], loaded[i], *out);
        else
            out->push_back(bareFrame(frames[i], loaded[i]));
        if (innermost) {
            if (isMachinery(out->data() + first, out->data() + out->size())) {
                out->resize(first);
                continue;
            }
            innermost = false;
        }
    }
}

void ResolveCapture(Capture* capture, std::vector<NativeFrame>* out) {
    if (capture == nullptr || out == nullptr) return;
    {
        std::lock_guard<std::mutex> lock(symbolizerMutex);
        if (!capture->unwound) {
            if (symbolizer == nullptr && !symbolizerReleased) symbolizer = new Symbolizer();
            if (symbolizer != nullptr && symbolizer->ready()) {
                symbolizer->beginCall();
                symbolizer->unwind(*capture);
            }
            capture->unwound = true;
        }
    }
    // Unwound once, the frames stay as they are.
    ResolveFrames(capture->frames, capture->count, out);
    if (capture->truncated) {
        NativeFrame end = {0, "", stackCopyEnd, "", 0, false, 0, ""};
        out->push_back(end);
    }
}

void SetDebugFileDirectories(const std::vector<std::string>* directories) {
    std::lock_guard<std::mutex> lock(symbolizerMutex);
    SetDebugDirectories(directories != nullptr ? *directories : std::vector<std::string>());
    // Modules whose debugging information was looked up look again.
    delete symbolizer;
    symbolizer = nullptr;
}

}  // namespace ThrowSites
}  // namespace Quorbel
