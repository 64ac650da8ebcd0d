// Resolver.h: the functions, files and lines of frames recorded in another
// process (Resolver.cpp), from the modules' debugging information found by
// build ID, each module read once for the whole input.

#ifndef QUORBEL_SYMBOLIZE_RESOLVER_H
#define QUORBEL_SYMBOLIZE_RESOLVER_H

#include "PeModules.h"
#include "ThrowSites/ModuleFrames.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Quorbel {
namespace Symbolize {

class Resolver {
public:
    // directories: searched before /usr/lib/debug, absolute paths.
    explicit Resolver(const std::vector<std::string>& directories);
    ~Resolver();
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

    // Appends to out the frames of frame's call, as the capture library
    // describes them with the module's debugging information: frame's
    // address, module, offset and build ID, with functions, files, lines and
    // the inlined calls. False, and nothing appended, when no debugging
    // information of the module of that build ID is found.
    bool Describe(const NativeFrame& frame, std::vector<NativeFrame>& out);

    // Called with the build ID and the module's path the first time that no
    // debugging information of a build ID is found.
    void OnMissing(void (*report)(const std::string& buildId, const std::string& module));

private:
    struct Module;
    std::vector<std::string> roots;                          // the directories, then /usr/lib/debug
    std::map<std::string, std::unique_ptr<Module>> modules;  // by build ID; null: not found
    std::map<std::string, std::unique_ptr<PeModule>> peModules;  // by CodeView id; null: not found
    std::map<std::pair<std::string, std::uintptr_t>, std::vector<NativeFrame>> described;
    void (*missing)(const std::string&, const std::string&);

    std::unique_ptr<Module> open(const std::string& buildId, const std::string& module);
    std::unique_ptr<PeModule> openPe(const std::string& id, const std::string& module);
    // The module of frame's build ID, opened on first use; null where none
    // was found.
    template <class Opened>
    Opened* find(std::map<std::string, std::unique_ptr<Opened>>& opened, const NativeFrame& frame,
                 std::unique_ptr<Opened> (Resolver::*open)(const std::string&, const std::string&));
};

}  // namespace Symbolize
}  // namespace Quorbel

#endif
