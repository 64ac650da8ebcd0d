// The modules of other processes, read from files: one Dwfl a module, which
// reports the module's own file, where it still lies at the path its frames
// name and has their build ID, and otherwise the debug file of the build ID
// (DIR/.build-id/xx/rest.debug) as the module itself; a file with DWARF
// before one with only the symbol table. A Windows module, whose
// build ID is its CodeView id, is read from its path or, by its file name,
// from DIR/NAME or DIR/NAME/ID/NAME (a symbol store's layout), where that
// file has the same id, through llvm-symbolizer. The module's separate
// debugging information and the file it shares with others (dwz) are found
// by the capture library's lookup (DebugFiles.cpp), never over the network.

#include "Resolver.h"

#include "StdException/Numbers.h"
#include "ThrowSites/CodeView.h"
#include "ThrowSites/DebugFiles.h"

#include <fcntl.h>
#include <gelf.h>
#include <unistd.h>

namespace Quorbel {
namespace Symbolize {

namespace {

// Dwfl_Callbacks::find_elf: the files are reported by name, nothing is
// looked for.
int findNoElf(Dwfl_Module*, void**, const char*, Dwarf_Addr, char**, Elf**) { return -1; }

const Dwfl_Callbacks callbacks = {&findNoElf, &ThrowSites::FindDebugFile,
                                  &dwfl_offline_section_address, ThrowSites::DebugPath()};

}  // namespace

struct Resolver::Module {
    Dwfl* dwfl = nullptr;
    Dwfl_Module* module = nullptr;
    Dwarf_Addr bias = 0;  // the module's addresses in the Dwfl less its own
    ThrowSites::ModuleUnits units;

    Module() = default;
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    ~Module() {
        if (dwfl != nullptr) dwfl_end(dwfl);
    }

    // What a reported file holds of a module's debugging information.
    enum Holds { Nothing, Symbols, Dwarf };

    // Reports file: Dwarf where it is a module of buildId with DWARF, Symbols
    // where it has the full symbol table (.symtab) alone, as a debug file kept
    // from a build without -g has.
    Holds Report(const std::string& file, const std::string& buildId) {
        dwfl = dwfl_begin(&callbacks);
        if (dwfl == nullptr) return Nothing;
        dwfl_report_begin(dwfl);
        module = dwfl_report_offline(dwfl, file.c_str(), file.c_str(), -1);
        dwfl_report_end(dwfl, nullptr, nullptr);
        if (module == nullptr) return Nothing;
        const unsigned char* bits = nullptr;
        GElf_Addr where = 0;
        const int length = dwfl_module_build_id(module, &bits, &where);
        if (length <= 0 || HexBytes(bits, std::size_t(length)) != buildId) return Nothing;
        Elf* elf = dwfl_module_getelf(module, &bias);
        if (elf == nullptr) return Nothing;
        Dwarf_Addr dwarfBias = 0;
        if (dwfl_module_getdwarf(module, &dwarfBias) != nullptr) return Dwarf;
        for (Elf_Scn* section = elf_nextscn(elf, nullptr); section != nullptr;
             section = elf_nextscn(elf, section)) {
            GElf_Shdr header;
            if (gelf_getshdr(section, &header) != nullptr && header.sh_type == SHT_SYMTAB)
                return Symbols;
        }
        return Nothing;
    }
};

Resolver::Resolver(const std::vector<std::string>& directories)
    : roots(directories), missing(nullptr) {
    ThrowSites::SetDebugDirectories(directories);
    roots.push_back("/usr/lib/debug");
}

Resolver::~Resolver() = default;

void Resolver::OnMissing(void (*report)(const std::string&, const std::string&)) {
    missing = report;
}

std::unique_ptr<Resolver::Module> Resolver::open(const std::string& buildId,
                                                 const std::string& module) {
    std::vector<std::string> files;
    if (!module.empty() && access(module.c_str(), R_OK) == 0) files.push_back(module);
    for (const std::string& root : roots)
        files.push_back(ThrowSites::JoinPath(
            root, ".build-id/" + buildId.substr(0, 2) + "/" + buildId.substr(2) + ".debug"));
    // A file with DWARF first, wherever it is; else the first with the
    // symbol table, which names the functions without files or lines.
    std::unique_ptr<Module> symbols;
    for (const std::string& file : files) {
        if (access(file.c_str(), R_OK) != 0) continue;
        std::unique_ptr<Module> opened(new Module);
        const Module::Holds holds = opened->Report(file, buildId);
        if (holds == Module::Dwarf) return opened;
        if (holds == Module::Symbols && symbols == nullptr) symbols = std::move(opened);
    }
    return symbols;
}

std::unique_ptr<PeModule> Resolver::openPe(const std::string& id, const std::string& module) {
    const std::string name = module.substr(module.find_last_of("\\/") + 1);
    std::vector<std::string> files;
    if (!module.empty()) files.push_back(module);
    for (const std::string& root : roots) {
        if (name.empty()) break;
        files.push_back(ThrowSites::JoinPath(root, name));
        files.push_back(ThrowSites::JoinPath(root, name + "/" + id + "/" + name));
    }
    return PeModule::Open(files, id);
}

template <class Opened>
Opened* Resolver::find(std::map<std::string, std::unique_ptr<Opened>>& opened,
                       const NativeFrame& frame,
                       std::unique_ptr<Opened> (Resolver::*open)(const std::string&,
                                                                 const std::string&)) {
    typename std::map<std::string, std::unique_ptr<Opened>>::iterator entry =
        opened.find(frame.buildId);
    if (entry == opened.end()) {
        entry = opened.emplace(frame.buildId, (this->*open)(frame.buildId, frame.module)).first;
        if (entry->second == nullptr && missing != nullptr) missing(frame.buildId, frame.module);
    }
    return entry->second.get();
}

bool Resolver::Describe(const NativeFrame& frame, std::vector<NativeFrame>& out) {
    if (frame.buildId.size() < 4 || frame.offset == 0) return false;
    const bool pe = ThrowSites::IsCodeViewId(frame.buildId);
    Module* module = pe ? nullptr : find(modules, frame, &Resolver::open);
    PeModule* peModule = pe ? find(peModules, frame, &Resolver::openPe) : nullptr;
    if (module == nullptr && peModule == nullptr) return false;
    // The same places come again and again: their frames are kept, as they
    // come from the module, then given this frame's address and module.
    const std::pair<std::string, std::uintptr_t> place(frame.buildId, frame.offset);
    std::map<std::pair<std::string, std::uintptr_t>, std::vector<NativeFrame>>::iterator known =
        described.find(place);
    if (known == described.end()) {
        NativeFrame bare = frame;
        bare.address = 0;
        bare.module.clear();
        std::vector<NativeFrame> frames;
        if (peModule != nullptr) {
            peModule->Describe(frame.offset, bare, frames);
        } else {
            // The offset follows the call: the call itself is before it.
            ThrowSites::DescribeCall(module->module, module->units, frame.offset - 1 + module->bias,
                                     bare, frames);
        }
        known = described.emplace(place, std::move(frames)).first;
    }
    for (const NativeFrame& described : known->second) {
        out.push_back(described);
        out.back().address = frame.address;
        out.back().module = frame.module;
    }
    return true;
}

}  // namespace Symbolize
}  // namespace Quorbel
