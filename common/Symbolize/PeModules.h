// PeModules.h: the frames of Windows modules (PE programs and DLLs), as the
// capture DLL records them (offset an RVA, build ID a CodeView id), resolved
// by llvm-symbolizer from the DWARF that MinGW-w64 keeps in the module itself
// (PeModules.cpp).

#ifndef QUORBEL_SYMBOLIZE_PEMODULES_H
#define QUORBEL_SYMBOLIZE_PEMODULES_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

namespace Quorbel {
struct NativeFrame;

namespace Symbolize {

// One module, with an llvm-symbolizer of its own that runs until the module
// is closed, so that the module is read once for the whole input.
class PeModule {
public:
    // The first of files that is a PE module whose CodeView id is id, with
    // llvm-symbolizer (from the PATH) started on it; null where none is, or
    // llvm-symbolizer does not start.
    static std::unique_ptr<PeModule> Open(const std::vector<std::string>& files,
                                          const std::string& id);
    ~PeModule();
    PeModule(const PeModule&) = delete;
    PeModule& operator=(const PeModule&) = delete;

    // Appends to out the frames of the call that returns to rva, frame's
    // with the function, file and line of each inlined call and of the
    // function that holds them, innermost first; frame as it was where the
    // module's DWARF does not cover the call (a symbol table's nearest name
    // is no answer).
    void Describe(std::uint64_t rva, const NativeFrame& frame, std::vector<NativeFrame>& out);

private:
    PeModule(pid_t child, std::FILE* answers);
    std::vector<NativeFrame> describe(std::uint64_t rva, const NativeFrame& frame);

    pid_t child;
    std::FILE* answers;  // the socket to llvm-symbolizer: addresses written one a line,
                         // its JSON read back, one line an address
};

// The CodeView id of the PE module in file; empty where it is none or has
// no CodeView record.
std::string PeCodeViewId(const std::string& file);

}  // namespace Symbolize
}  // namespace Quorbel

#endif
