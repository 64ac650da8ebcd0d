// ThrowSites.cpp: the throw-site capture library, libStdExceptionThrowSites.
//
// Loaded before the C++ runtime, it interposes __cxa_throw: every throw in the
// process records the return addresses of the throwing thread's stack in a
// slot of fixed storage, found again by the address of the thrown object for
// as long as that object lives. The core library connects through
// QuorbelThrowSitesConnect (ThrowSiteLink.h) to look the frames up and to turn
// them into functions, files and lines, which are read with elfutils' libdwfl
// from local files only.
//
// Linux and ELF, libstdc++ and libgcc's unwinder; g++ and clang++.

#include "StdException/ThrowSite"
#include "StdException/Demangle.h"
#include "StdException/Numbers.h"
#include "StdException/ThrowSiteLink.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <typeinfo>
#include <vector>

#include <dlfcn.h>
#include <dwarf.h>
#include <elfutils/libdw.h>
#include <elfutils/libdwelf.h>
#include <elfutils/libdwfl.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unwind.h>

#define QUORBEL_THROWSITES_EXPORT __attribute__((visibility("default")))

namespace {

using Quorbel::NativeFrame;

typedef void (*DestroyFunction)(void*);
typedef void (*ThrowFunction)(void*, std::type_info*, DestroyFunction);

// ---------------------------------------------------------------------------
// Where the machinery's own code lies, found once: by the load-time
// constructor, or by the first throw if one comes before it. Each value is
// computed the same way by whichever thread gets there first, so a race only
// repeats the work.

// The C++ runtime's __cxa_throw, the next definition after this library.
std::atomic<ThrowFunction> realThrow{nullptr};
// The executable code of this library, [ownLow, ownHigh).
std::atomic<std::uintptr_t> ownLow{0};
std::atomic<std::uintptr_t> ownHigh{0};
// A __cxa_throw that comes before this library's in the search order (the
// interceptor of a sanitizer runtime), [frontLow, frontHigh); empty if none.
std::atomic<std::uintptr_t> frontLow{0};
std::atomic<std::uintptr_t> frontHigh{0};
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

void initialise() {
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

__attribute__((constructor)) void initialiseOnLoad() { initialise(); }

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

// ---------------------------------------------------------------------------
// The slots: fixed storage for the frames of the exceptions alive at once.
// A throw claims a free slot with a compare-exchange on its owner, probing
// from an index hashed from the object's address, and hands the runtime a
// destructor of its own that frees the slot when the exception object dies.
// Nothing here allocates or locks, so a throw can be captured anywhere.

constexpr std::size_t slotBits = 9;
constexpr std::size_t slotCount = std::size_t(1) << slotBits;  // 512 slots

struct alignas(64) Slot {
    // The thrown object that owns the slot; null while the slot is free.
    std::atomic<const void*> owner{nullptr};
    // Written by the throwing thread after the claim, before the object is
    // thrown; read only by whoever holds the live object.
    const std::type_info* type = nullptr;
    DestroyFunction destroy = nullptr;
    std::size_t count = 0;
    std::uintptr_t frames[QuorbelThrowSiteMaxFrames] = {};
};

Slot slots[slotCount];
// The farthest any claim has had to probe from its hashed index. A lookup
// probes no farther; it only grows, so a lookup never stops short.
std::atomic<std::size_t> longestProbe{0};
// Throws that found every slot taken.
std::atomic<std::uint64_t> droppedThrows{0};

std::size_t homeOf(const void* object) {
    std::uint64_t value = reinterpret_cast<std::uintptr_t>(object) >> 4;
    return static_cast<std::size_t>((value * 0x9E3779B97F4A7C15ull) >> (64 - slotBits));
}

Slot* claimSlot(const void* object) {
    std::size_t home = homeOf(object);
    for (std::size_t step = 0; step < slotCount; ++step) {
        Slot& slot = slots[(home + step) & (slotCount - 1)];
        const void* expected = nullptr;
        if (slot.owner.load(std::memory_order_relaxed) != nullptr ||
            !slot.owner.compare_exchange_strong(expected, object, std::memory_order_acquire,
                                                std::memory_order_relaxed))
            continue;
        std::size_t longest = longestProbe.load(std::memory_order_relaxed);
        while (longest < step &&
               !longestProbe.compare_exchange_weak(longest, step, std::memory_order_release,
                                                   std::memory_order_relaxed)) {
        }
        return &slot;
    }
    return nullptr;
}

Slot* findSlot(const void* object) {
    std::size_t home = homeOf(object);
    std::size_t longest = longestProbe.load(std::memory_order_acquire);
    for (std::size_t step = 0; step <= longest; ++step) {
        Slot& slot = slots[(home + step) & (slotCount - 1)];
        if (slot.owner.load(std::memory_order_acquire) == object) return &slot;
    }
    return nullptr;
}

// The destructor handed to the runtime in place of the thrown type's own:
// called once, on whatever thread drops the last reference to the object.
void releaseSlot(void* object) {
    Slot* slot = findSlot(object);
    if (slot == nullptr) return;  // cannot happen: only claimed objects get here
    if (slot->destroy != nullptr) slot->destroy(object);
    slot->owner.store(nullptr, std::memory_order_release);
}

struct Walk {
    std::uintptr_t* frames;
    std::size_t count;
    bool pastOwnCode;
    bool pastFront;
};

_Unwind_Reason_Code recordFrame(_Unwind_Context* context, void* argument) {
    Walk& walk = *static_cast<Walk*>(argument);
    int beforeInstruction = 0;
    std::uintptr_t address = _Unwind_GetIPInfo(context, &beforeInstruction);
    if (address == 0) return _URC_END_OF_STACK;
    // A signal frame holds the interrupted instruction itself; one past it
    // reads like the return address of every other frame.
    if (beforeInstruction) ++address;
    if (!walk.pastOwnCode) {
        if (address > ownLow.load(std::memory_order_relaxed) &&
            address <= ownHigh.load(std::memory_order_relaxed))
            return _URC_NO_REASON;
        walk.pastOwnCode = true;
    }
    if (!walk.pastFront) {
        walk.pastFront = true;
        if (address > frontLow.load(std::memory_order_relaxed) &&
            address <= frontHigh.load(std::memory_order_relaxed))
            return _URC_NO_REASON;
    }
    walk.frames[walk.count++] = address;
    return walk.count < QuorbelThrowSiteMaxFrames ? _URC_NO_REASON : _URC_NORMAL_STOP;
}

// The stack below the throw, innermost first, without this library's frames
// and without the interceptor in front of it.
__attribute__((noinline)) std::size_t recordStack(std::uintptr_t* frames) {
    Walk walk = {frames, 0, false, false};
    _Unwind_Backtrace(&recordFrame, &walk);
    return walk.count;
}

// ---------------------------------------------------------------------------
// What the core library offers, and the capture's hooks.

std::atomic<const QuorbelCoreHooks*> coreHooks{nullptr};

// While set, throws record nothing: measurements compare throws with and
// without capture in one process.
std::atomic<bool> paused{false};

std::size_t lookupFrames(const void* object, std::uintptr_t* frames, std::size_t max,
                         const std::type_info** type) {
    if (type != nullptr) *type = nullptr;
    const Slot* slot = object != nullptr ? findSlot(object) : nullptr;
    if (slot == nullptr) return 0;
    std::size_t count = std::min(slot->count, max);
    std::copy(slot->frames, slot->frames + count, frames);
    if (type != nullptr) *type = slot->type;
    return count;
}

std::uint64_t droppedCount() { return droppedThrows.load(std::memory_order_relaxed); }

void resolveFrames(const std::uintptr_t* frames, std::size_t count, std::vector<NativeFrame>* out);

const QuorbelCaptureHooks captureHooks = {&lookupFrames, &resolveFrames, &droppedCount};

}  // namespace

// The C++ runtime's throw, called by every throw expression of the process
// (libstdc++'s own std::__throw_* included): records the stack, then throws
// through the runtime's __cxa_throw.
extern "C" QUORBEL_THROWSITES_EXPORT __attribute__((noreturn)) void __cxa_throw(
    void* object, std::type_info* type, void (*destroy)(void*)) {
    if (!initialised.load(std::memory_order_acquire)) initialise();
    // A family record that carries frames already (a translated or
    // re-thrown copy) needs no walk and no slot.
    const QuorbelCoreHooks* core = coreHooks.load(std::memory_order_acquire);
    if (paused.load(std::memory_order_relaxed) ||
        (core != nullptr && core->holdsFrames != nullptr && core->holdsFrames(object, type)))
        throwWithRuntime(object, type, destroy);
    Slot* slot = claimSlot(object);
    if (slot == nullptr) {
        droppedThrows.fetch_add(1, std::memory_order_relaxed);
        throwWithRuntime(object, type, destroy);
    }
    slot->type = type;
    slot->destroy = destroy;
    slot->count = recordStack(slot->frames);
    throwWithRuntime(object, type, &releaseSlot);
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

namespace {

// ---------------------------------------------------------------------------
// Debugging information from local files only. elfutils' standard search
// falls back on a debuginfod server when DEBUGINFOD_URLS is set, and a report
// must never wait on the network, so the search is this library's own: by
// build ID under /usr/lib/debug/.build-id, then by .gnu_debuglink beside the
// file, in its .debug directory and under /usr/lib/debug.

const char* const debugRoot = "/usr/lib/debug";

std::string directoryOf(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string joinPath(const std::string& directory, const std::string& name) {
    if (!name.empty() && name[0] == '/') return name;
    return directory.empty() || directory[directory.size() - 1] == '/' ? directory + name
                                                                       : directory + '/' + name;
}

// The build ID of an ELF file; empty if it has none or is no ELF file.
std::string buildIdOf(int fd) {
    std::string id;
    Elf* elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
    if (elf == nullptr) return id;
    const void* bits = nullptr;
    ssize_t length = dwelf_elf_gnu_build_id(elf, &bits);
    if (length > 0)
        id = Quorbel::HexBytes(static_cast<const unsigned char*>(bits), std::size_t(length));
    elf_end(elf);
    return id;
}

// The name and build ID in the .gnu_debugaltlink section of the ELF file at
// path, which names the file of debugging information it shares with others.
bool altLinkOf(const char* path, std::string* name, std::string* id) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool found = false;
    Elf* elf = elf_begin(fd, ELF_C_READ_MMAP, nullptr);
    std::size_t names = 0;
    if (elf != nullptr && elf_getshdrstrndx(elf, &names) == 0) {
        for (Elf_Scn* section = elf_nextscn(elf, nullptr); section != nullptr && !found;
             section = elf_nextscn(elf, section)) {
            GElf_Shdr header;
            if (gelf_getshdr(section, &header) == nullptr) continue;
            const char* sectionName = elf_strptr(elf, names, header.sh_name);
            if (sectionName == nullptr || std::strcmp(sectionName, ".gnu_debugaltlink") != 0)
                continue;
            Elf_Data* data = elf_getdata(section, nullptr);
            if (data == nullptr || data->d_buf == nullptr) break;
            const char* begin = static_cast<const char*>(data->d_buf);
            const char* end = static_cast<const char*>(std::memchr(begin, 0, data->d_size));
            if (end == nullptr) break;
            *name = std::string(begin, end);
            *id = Quorbel::HexBytes(reinterpret_cast<const unsigned char*>(end + 1),
                                    data->d_size - std::size_t(end + 1 - begin));
            found = true;
        }
    }
    if (elf != nullptr) elf_end(elf);
    close(fd);
    return found;
}

// The CRC-32 that .gnu_debuglink records of its file, the one of zlib.
std::uint32_t crcOfFile(int fd) {
    static std::uint32_t table[256];
    static std::once_flag tableMade;
    std::call_once(tableMade, [] {
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
    });
    std::uint32_t crc = 0xFFFFFFFFu;
    std::vector<unsigned char> buffer(65536);
    ssize_t length;
    off_t offset = 0;
    while ((length = pread(fd, buffer.data(), buffer.size(), offset)) > 0) {
        for (ssize_t i = 0; i < length; ++i) crc = table[(crc ^ buffer[i]) & 0xFF] ^ (crc >> 8);
        offset += length;
    }
    return crc ^ 0xFFFFFFFFu;
}

bool sameFile(const std::string& first, const std::string& second) {
    struct stat a, b;
    return stat(first.c_str(), &a) == 0 && stat(second.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

// Opens the first candidate that is a file of the wanted build ID (or, when
// the module has none, whose CRC is the one .gnu_debuglink records).
int openCandidate(const std::vector<std::string>& candidates, const std::string& id, bool checkCrc,
                  std::uint32_t crc, char** openedName) {
    for (const std::string& candidate : candidates) {
        int fd = open(candidate.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        bool matches = !id.empty() ? buildIdOf(fd) == id : !checkCrc || crcOfFile(fd) == crc;
        if (matches) {
            *openedName = strdup(candidate.c_str());
            if (*openedName != nullptr) return fd;
        }
        close(fd);
    }
    errno = 0;
    return -1;
}

// Dwfl_Callbacks::find_debuginfo, for a module's separate debugging
// information and for the alternate file (.gnu_debugaltlink) that file
// shares with others.
int findLocalDebugInfo(Dwfl_Module* module, void**, const char*, Dwarf_Addr, const char* fileName,
                       const char* debugLink, GElf_Word debugLinkCrc, char** debugFileName) {
    std::vector<std::string> candidates;
    std::string altName, altId;
    if (fileName != nullptr && debugLink != nullptr && debugLinkCrc == 0 &&
        altLinkOf(fileName, &altName, &altId) && altName == debugLink) {
        if (altId.size() > 2)
            candidates.push_back(std::string(debugRoot) + "/.build-id/" + altId.substr(0, 2) + '/' +
                                 altId.substr(2) + ".debug");
        candidates.push_back(joinPath(directoryOf(fileName), altName));
        return openCandidate(candidates, altId, false, 0, debugFileName);
    }

    const unsigned char* bits = nullptr;
    GElf_Addr where = 0;
    int length = dwfl_module_build_id(module, &bits, &where);
    std::string id = length > 0 ? Quorbel::HexBytes(bits, std::size_t(length)) : std::string();
    if (id.size() > 2)
        candidates.push_back(std::string(debugRoot) + "/.build-id/" + id.substr(0, 2) + '/' +
                             id.substr(2) + ".debug");
    if (debugLink != nullptr && fileName != nullptr) {
        std::vector<std::string> directories(1, directoryOf(fileName));
        if (char* canonical = realpath(fileName, nullptr)) {
            std::string directory = directoryOf(canonical);
            if (directory != directories[0]) directories.push_back(directory);
            std::free(canonical);
        }
        for (const std::string& directory : directories) {
            std::string beside = joinPath(directory, debugLink);
            if (!sameFile(beside, fileName)) candidates.push_back(beside);
            candidates.push_back(joinPath(directory + "/.debug", debugLink));
            candidates.push_back(joinPath(debugRoot + directory, debugLink));
        }
    }
    return openCandidate(candidates, id, debugLink != nullptr, debugLinkCrc, debugFileName);
}

// ---------------------------------------------------------------------------
// Symbolization, away from the throwing path: one Dwfl of the process,
// reported from /proc/self/maps on first use and again when an address falls
// in a module it does not know (loaded since), behind one mutex, as libdw is
// not safe to call from several threads at once.

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

// The object the dynamic linker has loaded at an address: its base address
// (0 when none) and its path.
struct LoadedObject {
    std::uintptr_t base;
    std::string path;
};

// The address range of a loaded object's segments, the start of its first
// mapping and its path (empty for the program).
struct LoadedRange {
    std::uintptr_t low;
    std::uintptr_t high;
    std::uintptr_t base;
    std::string path;
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

int collectLoaded(dl_phdr_info* info, std::size_t, void* argument) {
    std::uintptr_t low = UINTPTR_MAX, high = 0;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_LOAD) continue;
        low = std::min<std::uintptr_t>(low, info->dlpi_addr + segment.p_vaddr);
        high = std::max<std::uintptr_t>(high, info->dlpi_addr + segment.p_vaddr + segment.p_memsz);
    }
    if (low >= high) return 0;
    std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    LoadedRange range = {low, high, low & ~(page - 1),
                         info->dlpi_name != nullptr ? info->dlpi_name : ""};
    static_cast<std::vector<LoadedRange>*>(argument)->push_back(range);
    return 0;
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
    Symbolizer() : dwfl(nullptr), reportedThisCall(false) {
        static const Dwfl_Callbacks callbacks = {&dwfl_linux_proc_find_elf, &findLocalDebugInfo,
                                                 nullptr, nullptr};
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
            NativeFrame frame = {address, loaded.path, std::string(), std::string(), 0, false};
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

    bool ready() const { return dwfl != nullptr; }

private:
    static const std::size_t describedLimit = 4096;

    Dwfl* dwfl;
    bool reportedThisCall;
    std::map<Dwfl_Module*, ModuleCache> caches;
    std::map<std::uintptr_t, std::vector<NativeFrame> > described;

    void describeInModule(std::uintptr_t address, Dwfl_Module* module, const LoadedObject& loaded,
                          std::vector<NativeFrame>& out) {
        Dwarf_Addr pc = address - 1;
        NativeFrame frame = {address, loaded.path, std::string(), std::string(), 0, false};
        ModuleCache& cache = cacheOf(module);
        frame.module = cache.name;

        Dwarf_Addr bias = 0;
        Dwarf_Die unit;
        Dwarf_Die* unitDie = dwfl_module_addrdie(module, pc, &bias);
        if (unitDie == nullptr && findUnit(module, cache, pc, &unit, &bias)) unitDie = &unit;
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
            file[0] != '/' && directory != nullptr ? joinPath(directory, file) : std::string(file);
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

// Whether frames belong to the capture machinery: this library, libgcc's
// unwinder, a sanitizer runtime, or a __cxa_throw (an interceptor linked into
// the program itself).
bool isMachinery(std::uintptr_t address, const NativeFrame* begin, const NativeFrame* end) {
    if (address > ownLow.load(std::memory_order_relaxed) &&
        address <= ownHigh.load(std::memory_order_relaxed))
        return true;
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

void resolveFrames(const std::uintptr_t* frames, std::size_t count, std::vector<NativeFrame>* out) {
    if (out == nullptr || count == 0) return;
    initialise();
    // The dynamic linker is asked before the mutex is taken: a constructor
    // running under its lock may be resolving too.
    std::vector<LoadedRange> objects;
    dl_iterate_phdr(&collectLoaded, &objects);
    std::vector<LoadedObject> loaded(count);
    for (std::size_t i = 0; i < count; ++i)
        for (const LoadedRange& object : objects)
            if (frames[i] > object.low && frames[i] <= object.high) {
                loaded[i].base = object.base;
                loaded[i].path = object.path.empty() ? programPath() : object.path;
                break;
            }
    std::lock_guard<std::mutex> lock(symbolizerMutex);
    if (symbolizer == nullptr && !symbolizerReleased) symbolizer = new Symbolizer();
    if (symbolizer != nullptr) symbolizer->beginCall();
    bool innermost = true;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t first = out->size();
        if (symbolizer != nullptr && symbolizer->ready()) {
            symbolizer->describe(frames[i], loaded[i], *out);
        } else {
            NativeFrame frame = {frames[i], loaded[i].path, std::string(), std::string(), 0, false};
            out->push_back(frame);
        }
        if (innermost) {
            if (isMachinery(frames[i], out->data() + first, out->data() + out->size())) {
                out->resize(first);
                continue;
            }
            innermost = false;
        }
    }
}

}  // namespace
