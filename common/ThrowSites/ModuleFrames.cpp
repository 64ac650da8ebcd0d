// The frames of one call in one module: a frame takes its function, file and
// line from the module's DWARF where a unit covers its address, else its
// function from the module's symbol table (.symtab, else .dynsym).

#include "ModuleFrames.h"
#include "DebugFiles.h"

#include "StdException/Demangle.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include <dwarf.h>

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

// Finds the compilation unit of pc from the units' own address ranges.
bool findUnit(Dwfl_Module* module, ModuleUnits& units, Dwarf_Addr pc, Dwarf_Die* unit,
              Dwarf_Addr* bias) {
    Dwarf* dwarf = dwfl_module_getdwarf(module, bias);
    if (dwarf == nullptr) return false;
    if (!units.indexed) {
        units.indexed = true;
        Dwarf_CU* current = nullptr;
        Dwarf_CU* next = nullptr;
        Dwarf_Half version = 0;
        std::uint8_t type = 0;
        Dwarf_Die die, sub;
        while (dwarf_get_units(dwarf, current, &next, &version, &type, &die, &sub) == 0) {
            current = next;
            if (type != DW_UT_compile && type != DW_UT_partial && type != DW_UT_skeleton) continue;
            Dwarf_Addr base = 0, low = 0, high = 0;
            ptrdiff_t offset = 0;
            while ((offset = dwarf_ranges(&die, offset, &base, &low, &high)) > 0)
                if (low < high) units.ranges.push_back(UnitRange{low, high, die});
        }
        std::sort(units.ranges.begin(), units.ranges.end(),
                  [](const UnitRange& a, const UnitRange& b) { return a.low < b.low; });
    }
    Dwarf_Addr address = pc - *bias;
    std::vector<UnitRange>::const_iterator after = std::upper_bound(
        units.ranges.begin(), units.ranges.end(), address,
        [](Dwarf_Addr value, const UnitRange& range) { return value < range.low; });
    if (after == units.ranges.begin()) return false;
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
std::string sourceFile(Dwarf_Die* unit, const char* file) {
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

void lineOf(Dwarf_Die* unit, Dwarf_Addr address, NativeFrame& frame) {
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
bool holdsAddress(Dwarf_Die* die, Dwarf_Addr address) {
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
bool findScopes(Dwarf_Die* parent, Dwarf_Addr address, std::vector<Dwarf_Die>& chain,
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
bool describeWithDwarf(Dwarf_Die* unit, Dwarf_Addr address, const std::string& symbol,
                       const NativeFrame& frame, std::vector<NativeFrame>& out) {
    // With split DWARF (-gsplit-dwarf) the unit in the module is a
    // skeleton that holds the line table; the functions are in its split
    // unit, in the .dwo file or .dwp package beside it.
    Dwarf_Die* scopeUnit = unit;
    Dwarf_Die split;
    std::uint8_t unitType = 0;
    if (dwarf_cu_info(unit->cu, nullptr, &unitType, nullptr, &split, nullptr, nullptr, nullptr) ==
            0 &&
        unitType == DW_UT_skeleton && dwarf_tag(&split) == DW_TAG_compile_unit)
        scopeUnit = &split;
    std::vector<Dwarf_Die> scopes;
    if (!findScopes(scopeUnit, address, scopes, false, 0))
        findScopes(scopeUnit, address, scopes, true, 0);
    std::vector<Dwarf_Die> functions;
    for (std::vector<Dwarf_Die>::reverse_iterator scope = scopes.rbegin(); scope != scopes.rend();
         ++scope)
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

}  // namespace

void DescribeCall(Dwfl_Module* module, ModuleUnits& units, Dwarf_Addr pc, const NativeFrame& frame,
                  std::vector<NativeFrame>& out) {
    Dwarf_Addr bias = 0;
    Dwarf_Die unit;
    Dwarf_Die* unitDie = dwfl_module_addrdie(module, pc, &bias);
    if (unitDie == nullptr && findUnit(module, units, pc, &unit, &bias)) unitDie = &unit;
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
    NativeFrame described = frame;
    described.function = demangle(symbolName);
    if (unitDie != nullptr) lineOf(unitDie, pc - bias, described);
    out.push_back(described);
}

}  // namespace ThrowSites
}  // namespace Quorbel
