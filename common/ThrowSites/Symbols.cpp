// The symbols of recorded frames, away from the throwing path: one Dwfl of
// the process, reported from /proc/self/maps on first use and again when an
// address falls in a module it does not know (loaded since), behind one
// mutex, as libdw is not safe to call from several threads at once. A frame
// takes its function, file and line from the module's DWARF where a unit
// covers its address, else its function from the module's symbol table
// (.symtab, else .dynsym); its offset and build ID come from the dynamic
// linker's view of the loaded module, whatever is known of its symbols.

#include "Symbols.h"
#include "DebugFiles.h"
#include "Unwinding.h"

#include "StdException/Demangle.h"
#include "StdException/Numbers.h"
#include "StdException/ThrowSite"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>
#include <link.h>
#include <unistd.h>

namespace Quorbel {
namespace ThrowSites {

namespace {

// The readable form of a symbol name, or the name itself where it is not a
// mangled C++ name.
std::string demangle(const char* name) {
    if (name == nullptr) return std::string();
    std::string readable = Quorbel::Demangled(name);
    return readable.empty() ? name : readable;
}

// The demangled name of a C++ symbol, without the suffix that marks a part or
// a specialised clone of a function (".cold", ".isra.0", ".constprop.0"); empty
// for a name that is not a mangled C++ name.
std::string symbolFunction(const char* symbol) {
    if (symbol == nullptr || std::strncmp(symbol, "_Z", 2) != 0) return std::string();
    return Quorbel::Demangled(std::string(symbol, std::strcspn(symbol, ".")).c_str());
}

// A DIE's function name: the demangled linkage name of the function (through
// its abstract origin or its declaration). g++ writes none for a function of
// internal linkage (static, or in an anonymous namespace): then the name of
// the symbol that holds the code, when there is one (symbol, demangled) and
// it names the same function, else the DIE's plain name.
std::string functionName(Dwarf_Die* die, const std::string& symbol) {
    Dwarf_Attribute attribute;
    const char* linkage =
        dwarf_formstring(dwarf_attr_integrate(die, DW_AT_linkage_name, &attribute));
    if (linkage == nullptr)
        linkage = dwarf_formstring(dwarf_attr_integrate(die, DW_AT_MIPS_linkage_name, &attribute));
    if (linkage != nullptr) return demangle(linkage);
    const char* name = dwarf_formstring(dwarf_attr_integrate(die, DW_AT_name, &attribute));
    if (name == nullptr) return std::string();
    // The symbol names the function if it holds the plain name, without its
    // template arguments, followed by the arguments: "Worker" of "Worker<1>"
    // in "void (anonymous namespace)::Worker<1>()".
    std::string plain(name, std::strcspn(name, "<"));
    for (std::string::size_type at = symbol.find(plain); !plain.empty() && at != std::string::npos;
         at = symbol.find(plain, at + 1)) {
        char next = at + plain.size() < symbol.size() ? symbol[at + plain.size()] : '\0';
        bool starts = at == 0 || symbol[at - 1] == ':' || symbol[at - 1] == ' ';
        if (starts && (next == '(' || next == '<')) return symbol;
    }
    return name;
}

bool isFunction(Dwarf_Die* die) {
    int tag = dwarf_tag(die);
    return tag == DW_TAG_subprogram || tag == DW_TAG_inlined_subroutine ||
           tag == DW_TAG_entry_point;
}

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

// An address range of one compilation unit, for modules whose units libdw
// cannot find by address (clang++ writes no .debug_aranges).
struct UnitRange {
    Dwarf_Addr low;
    Dwarf_Addr high;
    Dwarf_Die unit;
};

struct ModuleCache {
    std::string name;
    Dwarf_Addr low;
    bool unitsIndexed;
    std::vector<UnitRange> units;  // sorted by low
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
        Dwarf_Addr pc = address - 1;
        NativeFrame frame = bareFrame(address, loaded);
        ModuleCache& cache = cacheOf(module);
        frame.module = cache.name;

        Dwarf_Addr bias = 0;
        Dwarf_Die unit;
        Dwarf_Die* unitDie = dwfl_module_addrdie(module, pc, &bias);
        if (unitDie == nullptr && findUnit(module, cache, pc, &unit, &bias)) unitDie = &unit;
        // A unit found by the nearest range below pc may end before it: code
        // without debugging information (_start) has no file and no line.
        if (unitDie != nullptr && !holdsAddress(unitDie, pc - bias)) unitDie = nullptr;
        GElf_Off offset = 0;
        GElf_Sym symbol;
        const char* symbolName =
            dwfl_module_addrinfo(module, pc, &offset, &symbol, nullptr, nullptr, nullptr);
        if (unitDie != nullptr &&
            describeWithDwarf(unitDie, pc - bias, symbolFunction(symbolName), frame, out))
            return;
        frame.function = demangle(symbolName);
        if (unitDie != nullptr) lineOf(unitDie, pc - bias, frame);
        out.push_back(frame);
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
            ModuleCache fresh = {path, low, false, std::vector<UnitRange>()};
            entry = caches.insert(std::make_pair(module, fresh)).first;
            entry->second = fresh;
        }
        return entry->second;
    }

    // Finds the compilation unit of pc from the units' own address ranges.
    bool findUnit(Dwfl_Module* module, ModuleCache& cache, Dwarf_Addr pc, Dwarf_Die* unit,
                  Dwarf_Addr* bias) {
        Dwarf* dwarf = dwfl_module_getdwarf(module, bias);
        if (dwarf == nullptr) return false;
        if (!cache.unitsIndexed) {
            cache.unitsIndexed = true;
            Dwarf_CU* current = nullptr;
            Dwarf_CU* next = nullptr;
            Dwarf_Half version = 0;
            std::uint8_t type = 0;
            Dwarf_Die die, sub;
            while (dwarf_get_units(dwarf, current, &next, &version, &type, &die, &sub) == 0) {
                current = next;
                if (type != DW_UT_compile && type != DW_UT_partial && type != DW_UT_skeleton)
                    continue;
                Dwarf_Addr base = 0, low = 0, high = 0;
                ptrdiff_t offset = 0;
                while ((offset = dwarf_ranges(&die, offset, &base, &low, &high)) > 0)
                    if (low < high) cache.units.push_back(UnitRange{low, high, die});
            }
            std::sort(cache.units.begin(), cache.units.end(),
                      [](const UnitRange& a, const UnitRange& b) { return a.low < b.low; });
        }
        Dwarf_Addr address = pc - *bias;
        std::vector<UnitRange>::const_iterator after = std::upper_bound(
            cache.units.begin(), cache.units.end(), address,
            [](Dwarf_Addr value, const UnitRange& range) { return value < range.low; });
        if (after == cache.units.begin()) return false;
        --after;
        if (address >= after->high) return false;
        *unit = after->unit;
        return true;
    }

    // A source file name as the unit records it; a relative one is taken
    // from the unit's compilation directory. The name is written without "."
    // and "dir/.." steps, so that a header reads the same whichever compiler
    // driver named it ("/usr/bin/../lib/gcc/.../../../../include/c++/12/x.h"
    // is "/usr/include/c++/12/x.h").
    static std::string sourceFile(Dwarf_Die* unit, const char* file) {
        Dwarf_Attribute attribute;
        const char* directory = dwarf_formstring(dwarf_attr(unit, DW_AT_comp_dir, &attribute));
        const std::string path =
            file[0] != '/' && directory != nullptr ? JoinPath(directory, file) : std::string(file);
        std::vector<std::string> steps;
        for (std::string::size_type start = 0, end; start <= path.size(); start = end + 1) {
            end = std::min(path.find('/', start), path.size());
            const std::string step = path.substr(start, end - start);
            if (step == ".." && !steps.empty() && steps.back() != "..")
                steps.pop_back();
            else if (!step.empty() && step != "." && !(step == ".." && path[0] == '/'))
                steps.push_back(step);
        }
        std::string tidy = path[0] == '/' ? "/" : "";
        for (std::size_t i = 0; i != steps.size(); ++i) tidy += (i == 0 ? "" : "/") + steps[i];
        return tidy;
    }

    static void lineOf(Dwarf_Die* unit, Dwarf_Addr address, NativeFrame& frame) {
        Dwarf_Line* line = dwarf_getsrc_die(unit, address);
        if (line == nullptr) return;
        const char* file = dwarf_linesrc(line, nullptr, nullptr);
        int number = 0;
        if (file == nullptr || dwarf_lineno(line, &number) != 0) return;
        frame.file = sourceFile(unit, file);
        frame.line = static_cast<std::uint32_t>(number);
    }

    // Whether a DIE's address ranges hold address; a DIE without any (a
    // declaration) holds none.
    static bool holdsAddress(Dwarf_Die* die, Dwarf_Addr address) {
        Dwarf_Addr base = 0, low = 0, high = 0;
        ptrdiff_t offset = 0;
        while ((offset = dwarf_ranges(die, offset, &base, &low, &high)) > 0)
            if (address >= low && address < high) return true;
        return false;
    }

    // Appends the scopes under parent that hold address, outermost first.
    // Namespaces and imported units have no addresses of their own but hold
    // functions (clang++ puts a function's definition inside its namespace),
    // so the search passes through them; dwarf_getscopes of elfutils 0.188
    // does not, and misses such functions. Classes hold only declarations
    // with g++ and clang++: the search passes through them too only when
    // throughTypes is set, as the many members of the standard library's
    // classes make it slow.
    static bool findScopes(Dwarf_Die* parent, Dwarf_Addr address, std::vector<Dwarf_Die>& chain,
                           bool throughTypes, int depth) {
        Dwarf_Die child;
        if (depth > 64 || dwarf_child(parent, &child) != 0) return false;
        do {
            switch (dwarf_tag(&child)) {
                case DW_TAG_subprogram:
                case DW_TAG_inlined_subroutine:
                case DW_TAG_entry_point:
                case DW_TAG_lexical_block:
                case DW_TAG_try_block:
                case DW_TAG_catch_block:
                case DW_TAG_with_stmt:
                    if (holdsAddress(&child, address)) {
                        chain.push_back(child);
                        findScopes(&child, address, chain, throughTypes, depth + 1);
                        return true;
                    }
                    break;
                case DW_TAG_namespace:
                case DW_TAG_module:
                    if (findScopes(&child, address, chain, throughTypes, depth + 1)) return true;
                    break;
                case DW_TAG_class_type:
                case DW_TAG_structure_type:
                case DW_TAG_union_type:
                    if (throughTypes && findScopes(&child, address, chain, throughTypes, depth + 1))
                        return true;
                    break;
                case DW_TAG_imported_unit: {
                    Dwarf_Attribute attribute;
                    Dwarf_Die unit;
                    if (dwarf_formref_die(dwarf_attr(&child, DW_AT_import, &attribute), &unit) !=
                            nullptr &&
                        findScopes(&unit, address, chain, throughTypes, depth + 1))
                        return true;
                    break;
                }
                default:
                    break;
            }
        } while (dwarf_siblingof(&child, &child) == 0);
        return false;
    }

    // The functions at address, innermost first: the inlined calls, each
    // at the line of the call inside the function it was inlined into, and
    // the function that holds them, whose symbol (demangled) is symbol.
    // False when no function covers it.
    static bool describeWithDwarf(Dwarf_Die* unit, Dwarf_Addr address, const std::string& symbol,
                                  const NativeFrame& frame, std::vector<NativeFrame>& out) {
        // With split DWARF (-gsplit-dwarf) the unit in the module is a
        // skeleton that holds the line table; the functions are in its split
        // unit, in the .dwo file or .dwp package beside it.
        Dwarf_Die* scopeUnit = unit;
        Dwarf_Die split;
        std::uint8_t unitType = 0;
        if (dwarf_cu_info(unit->cu, nullptr, &unitType, nullptr, &split, nullptr, nullptr,
                          nullptr) == 0 &&
            unitType == DW_UT_skeleton && dwarf_tag(&split) == DW_TAG_compile_unit)
            scopeUnit = &split;
        std::vector<Dwarf_Die> scopes;
        if (!findScopes(scopeUnit, address, scopes, false, 0))
            findScopes(scopeUnit, address, scopes, true, 0);
        std::vector<Dwarf_Die> functions;
        for (std::vector<Dwarf_Die>::reverse_iterator scope = scopes.rbegin();
             scope != scopes.rend(); ++scope)
            if (isFunction(&*scope)) functions.push_back(*scope);
        if (functions.empty()) return false;

        Dwarf_Files* files = nullptr;
        std::size_t fileCount = 0;
        if (dwarf_getsrcfiles(scopeUnit, &files, &fileCount) != 0 &&
            dwarf_getsrcfiles(unit, &files, &fileCount) != 0)
            files = nullptr;
        for (std::size_t i = 0; i < functions.size(); ++i) {
            NativeFrame entry = frame;
            entry.inlined = dwarf_tag(&functions[i]) == DW_TAG_inlined_subroutine;
            // The symbol holds the code of the function that is not inlined.
            entry.function = functionName(&functions[i], entry.inlined ? std::string() : symbol);
            if (i == 0) {
                lineOf(unit, address, entry);
            } else {
                Dwarf_Attribute attribute;
                Dwarf_Word value = 0;
                if (files != nullptr &&
                    dwarf_formudata(dwarf_attr(&functions[i - 1], DW_AT_call_file, &attribute),
                                    &value) == 0) {
                    const char* file = dwarf_filesrc(files, value, nullptr, nullptr);
                    if (file != nullptr) entry.file = sourceFile(unit, file);
                }
                if (dwarf_formudata(dwarf_attr(&functions[i - 1], DW_AT_call_line, &attribute),
                                    &value) == 0)
                    entry.line = static_cast<std::uint32_t>(value);
            }
            out.push_back(entry);
            if (!entry.inlined) break;
        }
        return true;
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
