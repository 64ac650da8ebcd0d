// DebugFiles.h: where a module's separate debugging information is looked up
// (DebugFiles.cpp), from local files only. Internal to the capture library.

#ifndef QUORBEL_THROWSITES_DEBUGFILES_H
#define QUORBEL_THROWSITES_DEBUGFILES_H

#include <elfutils/libdwfl.h>

#include <string>
#include <vector>

namespace Quorbel {
namespace ThrowSites {

// Dwfl_Callbacks::find_debuginfo: opens the separate debugging information
// of a module, or the alternate file (.gnu_debugaltlink) that file shares
// with others, searching the application's directories, then /usr/lib/debug
// and the module's own directory; never the network.
int FindDebugFile(Dwfl_Module* module, void** userData, const char* moduleName, Dwarf_Addr base,
                  const char* fileName, const char* debugLink, GElf_Word debugLinkCrc,
                  char** debugFileName);

// Dwfl_Callbacks::debuginfo_path for FindDebugFile: the directories searched
// by build ID, as libdwfl reads them.
char** DebugPath();

// The application's directories, searched before /usr/lib/debug. Not safe
// to call while a Dwfl that uses FindDebugFile is in use.
void SetDebugDirectories(const std::vector<std::string>& directories);

// name inside directory (name itself when it is absolute).
std::string JoinPath(const std::string& directory, const std::string& name);

}  // namespace ThrowSites
}  // namespace Quorbel

#endif
