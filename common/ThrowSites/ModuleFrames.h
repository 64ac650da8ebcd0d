// ModuleFrames.h: the frames of one call in one module of a Dwfl, read from
// the module's DWARF or, without it, its symbol table (ModuleFrames.cpp).
// The capture library describes live addresses with it, and
// stdexception-symbolize the frames of reports, from modules it reads from
// files, so that both write the same frames. Internal.

#ifndef QUORBEL_THROWSITES_MODULEFRAMES_H
#define QUORBEL_THROWSITES_MODULEFRAMES_H

#include "StdException/ThrowSite"

#include <vector>

#include <elfutils/libdw.h>
#include <elfutils/libdwfl.h>

namespace Quorbel {
namespace ThrowSites {

// An address range of one compilation unit, for modules whose units libdw
// cannot find by address (clang++ writes no .debug_aranges).
struct UnitRange {
    Dwarf_Addr low;
    Dwarf_Addr high;
    Dwarf_Die unit;
};

// What is kept of one module from frame to frame: its units' address
// ranges, sorted by low, made on the first address that needs them.
struct ModuleUnits {
    bool indexed = false;
    std::vector<UnitRange> ranges;
};

// Appends to out the frames of the call at pc (a return address less one, in
// the Dwfl's addresses) in module, innermost first: the inlined calls, each at
// the line of the call in the function it was inlined into, then the function
// that holds them. Each is frame (address, module, offset and build ID) with
// function, file, line and inlined filled in. Without a unit that covers pc,
// one frame with the function of the module's symbol table, no file, no line.
void DescribeCall(Dwfl_Module* module, ModuleUnits& units, Dwarf_Addr pc, const NativeFrame& frame,
                  std::vector<NativeFrame>& out);

}  // namespace ThrowSites
}  // namespace Quorbel

#endif
