// The lookup of debugging information, from local files only. elfutils'
// standard search falls back on a debuginfod server when DEBUGINFOD_URLS is
// set, and a report must never wait on the network, so the search is made
// of libdwfl's lookup by build ID (dwfl_build_id_find_debuginfo, which asks
// no server), under the application's directories and /usr/lib/debug, and
// of a lookup by the name that .gnu_debuglink records: beside the file, in
// its .debug directory and in the same directories.

#include "DebugFiles.h"

#include "StdException/Numbers.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <elfutils/libdwelf.h>
#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace Quorbel {
namespace ThrowSites {

namespace {

const char* const debugRoot = "/usr/lib/debug";

// The directories searched, the application's first; and the same as the
// path that libdwfl's lookup by build ID reads ("dir:dir:/usr/lib/debug").
std::vector<std::string> roots(1, debugRoot);
std::string pathText = debugRoot;
char* path = &pathText[0];

std::string directoryOf(const std::string& file) {
    std::string::size_type slash = file.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : file.substr(0, slash);
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
bool altLinkOf(const char* file, std::string* name, std::string* id) {
    int fd = open(file, O_RDONLY | O_CLOEXEC);
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

// The CRC-32 of a file, which .gnu_debuglink records.
std::uint32_t crcOfFile(int fd) {
    uLong crc = crc32(0, Z_NULL, 0);
    std::vector<unsigned char> buffer(65536);
    ssize_t length;
    off_t offset = 0;
    while ((length = pread(fd, buffer.data(), buffer.size(), offset)) > 0) {
        crc = crc32(crc, buffer.data(), static_cast<uInt>(length));
        offset += length;
    }
    return static_cast<std::uint32_t>(crc);
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

}  // namespace

std::string JoinPath(const std::string& directory, const std::string& name) {
    if (!name.empty() && name[0] == '/') return name;
    return directory.empty() || directory[directory.size() - 1] == '/' ? directory + name
                                                                       : directory + '/' + name;
}

char** DebugPath() { return &path; }

void SetDebugDirectories(const std::vector<std::string>& directories) {
    roots.clear();
    pathText.clear();
    // libdwfl's path separates directories with ':' and reads a leading '+'
    // or '-' as a flag: a directory it cannot name is searched by name only.
    for (const std::string& directory : directories) {
        if (directory.empty() || directory[0] != '/') continue;
        roots.push_back(directory);
        if (directory.find(':') != std::string::npos) continue;
        pathText += directory + ':';
    }
    roots.push_back(debugRoot);
    pathText += debugRoot;
    path = &pathText[0];
}

int FindDebugFile(Dwfl_Module* module, void** userData, const char* moduleName, Dwarf_Addr base,
                  const char* fileName, const char* debugLink, GElf_Word debugLinkCrc,
                  char** debugFileName) {
    // By build ID: the module's, or the alternate file's once the module's
    // debugging information is open.
    int fd = dwfl_build_id_find_debuginfo(module, userData, moduleName, base, fileName, debugLink,
                                          debugLinkCrc, debugFileName);
    if (fd >= 0) return fd;

    std::vector<std::string> candidates;
    std::string altName, altId;
    if (fileName != nullptr && debugLink != nullptr && debugLinkCrc == 0 &&
        altLinkOf(fileName, &altName, &altId) && altName == debugLink) {
        candidates.push_back(JoinPath(directoryOf(fileName), altName));
        return openCandidate(candidates, altId, false, 0, debugFileName);
    }

    const unsigned char* bits = nullptr;
    GElf_Addr where = 0;
    int length = dwfl_module_build_id(module, &bits, &where);
    std::string id = length > 0 ? Quorbel::HexBytes(bits, std::size_t(length)) : std::string();
    if (debugLink != nullptr && fileName != nullptr) {
        std::vector<std::string> directories(1, directoryOf(fileName));
        if (char* canonical = realpath(fileName, nullptr)) {
            std::string directory = directoryOf(canonical);
            if (directory != directories[0]) directories.push_back(directory);
            std::free(canonical);
        }
        for (const std::string& directory : directories) {
            std::string beside = JoinPath(directory, debugLink);
            if (!sameFile(beside, fileName)) candidates.push_back(beside);
            candidates.push_back(JoinPath(directory + "/.debug", debugLink));
        }
        for (const std::string& root : roots) {
            for (const std::string& directory : directories)
                candidates.push_back(JoinPath(root + directory, debugLink));
            candidates.push_back(JoinPath(root, debugLink));
        }
    }
    return openCandidate(candidates, id, debugLink != nullptr, debugLinkCrc, debugFileName);
}

}  // namespace ThrowSites
}  // namespace Quorbel
