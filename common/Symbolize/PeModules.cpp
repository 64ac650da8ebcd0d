// Windows modules read from files: the CodeView id from the PE headers and
// the debug directory, the frames from llvm-symbolizer, which reads the DWARF
// of a PE module (libdwfl reads ELF alone). llvm-symbolizer takes RVAs with
// --relative-address and answers each with one line of JSON. It inherits the
// tool's environment, from which main took DEBUGINFOD_URLS, so that it never
// asks the network.

#include "PeModules.h"

#include "Json.h"

#include "StdException/ThrowSite"
#include "StdException/Numbers.h"
#include "ThrowSites/CodeView.h"

#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Quorbel {
namespace Symbolize {

namespace {

// The little-endian number of size bytes at offset of file; false where the
// file ends first.
bool readNumber(int fd, std::uint64_t offset, std::size_t size, std::uint64_t& value) {
    unsigned char bytes[8] = {};
    if (size > sizeof bytes || pread(fd, bytes, size, off_t(offset)) != ssize_t(size)) return false;
    value = 0;
    for (std::size_t i = size; i-- > 0;) value = value << 8 | bytes[i];
    return true;
}

// Reads the CodeView id of the open PE file: the DOS header's pointer to the
// PE headers, the optional header's debug directory (PE32 or PE32+), its
// CodeView entry and the record that entry points at in the file.
std::string codeViewId(int fd) {
    std::uint64_t headers = 0, signature = 0, optionalSize = 0, magic = 0;
    if (!readNumber(fd, 0, 2, signature) || signature != 0x5a4d ||  // "MZ"
        !readNumber(fd, 0x3c, 4, headers) || !readNumber(fd, headers, 4, signature) ||
        signature != 0x4550 ||  // "PE\0\0"
        !readNumber(fd, headers + 20, 2, optionalSize) || !readNumber(fd, headers + 24, 2, magic))
        return std::string();
    const std::uint64_t optional = headers + 24;
    // The count of data directories and where they start, by the header's kind.
    std::uint64_t countAt = 0, directories = 0;
    if (magic == 0x10b) {
        countAt = optional + 92;
        directories = optional + 96;
    } else if (magic == 0x20b) {
        countAt = optional + 108;
        directories = optional + 112;
    } else {
        return std::string();
    }
    constexpr std::uint64_t debugIndex = 6;
    std::uint64_t count = 0, size = 0;
    if (!readNumber(fd, countAt, 4, count) || count <= debugIndex ||
        directories + 8 * (debugIndex + 1) > optional + optionalSize ||
        !readNumber(fd, directories + 8 * debugIndex + 4, 4, size))
        return std::string();
    std::uint64_t rva = 0, sections = 0;
    if (!readNumber(fd, directories + 8 * debugIndex, 4, rva) ||
        !readNumber(fd, headers + 6, 2, sections))
        return std::string();
    // The debug directory lies in a section: its place in the file follows
    // from the section's.
    std::uint64_t entries = 0;
    for (std::uint64_t i = 0; i < sections && entries == 0; ++i) {
        const std::uint64_t section = optional + optionalSize + 40 * i;
        std::uint64_t start = 0, length = 0, raw = 0;
        if (!readNumber(fd, section + 12, 4, start) || !readNumber(fd, section + 16, 4, length) ||
            !readNumber(fd, section + 20, 4, raw))
            return std::string();
        if (rva >= start && rva + size <= start + length) entries = raw + (rva - start);
    }
    constexpr std::uint64_t codeView = 2, entrySize = 28;
    for (std::uint64_t entry = entries; entries != 0 && entry + entrySize <= entries + size;
         entry += entrySize) {
        std::uint64_t type = 0, dataSize = 0, where = 0;
        unsigned char record[ThrowSites::codeViewSize];
        if (!readNumber(fd, entry + 12, 4, type) || !readNumber(fd, entry + 16, 4, dataSize) ||
            !readNumber(fd, entry + 24, 4, where))
            return std::string();
        if (type == codeView && dataSize >= sizeof record &&
            pread(fd, record, sizeof record, off_t(where)) == ssize_t(sizeof record))
            return ThrowSites::CodeViewId(record);
    }
    return std::string();
}

}  // namespace

std::string PeCodeViewId(const std::string& file) {
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string();
    const std::string id = codeViewId(fd);
    close(fd);
    return id;
}

std::unique_ptr<PeModule> PeModule::Open(const std::vector<std::string>& files,
                                         const std::string& id) {
    for (const std::string& file : files) {
        if (PeCodeViewId(file) != id) continue;
        // One socket carries both ways: a write to an llvm-symbolizer that
        // has ended fails (MSG_NOSIGNAL) instead of killing this process.
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return nullptr;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], 0);
        posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
        const std::string obj = "--obj=" + file;
        const char* arguments[] = {"llvm-symbolizer",     "--relative-address", "--inlines",
                                   "--output-style=JSON", obj.c_str(),          nullptr};
        pid_t child = 0;
        const int failed = posix_spawnp(&child, "llvm-symbolizer", &actions, nullptr,
                                        const_cast<char* const*>(arguments), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(ends[1]);
        std::FILE* answers = failed == 0 ? fdopen(ends[0], "r") : nullptr;
        if (answers == nullptr) {
            close(ends[0]);
            if (failed == 0) waitpid(child, nullptr, 0);
            return nullptr;
        }
        return std::unique_ptr<PeModule>(new PeModule(child, answers));
    }
    return nullptr;
}

PeModule::PeModule(pid_t child, std::FILE* answers) : child(child), answers(answers) {}

PeModule::~PeModule() {
    shutdown(fileno(answers), SHUT_WR);  // llvm-symbolizer ends at the end of its input
    std::fclose(answers);
    waitpid(child, nullptr, 0);
}

void PeModule::Describe(std::uint64_t rva, const NativeFrame& frame,
                        std::vector<NativeFrame>& out) {
    const std::vector<NativeFrame> frames = describe(rva, frame);
    if (frames.empty()) out.push_back(frame);
    out.insert(out.end(), frames.begin(), frames.end());
}

std::vector<NativeFrame> PeModule::describe(std::uint64_t rva, const NativeFrame& frame) {
    // The RVA follows the call: the call itself is before it.
    std::string request;
    AppendHex(request, std::uintptr_t(rva - 1));
    request += '\n';
    if (send(fileno(answers), request.data(), request.size(), MSG_NOSIGNAL) !=
        ssize_t(request.size()))
        return {};
    std::string line;
    for (int c = std::fgetc(answers); c != EOF && c != '\n'; c = std::fgetc(answers))
        line += char(c);
    JsonValue answer;
    std::string problem;
    if (!ReadJson(line, answer, problem)) return {};
    const JsonValue* symbols = answer.Find("Symbol");
    if (symbols == nullptr || symbols->kind != JsonValue::Array) return {};
    std::vector<NativeFrame> frames;
    for (const JsonValue& symbol : symbols->items) {
        const JsonValue* number = symbol.Find("Line");
        const std::uint32_t sourceLine =
            number != nullptr ? std::uint32_t(std::strtoul(number->text.c_str(), nullptr, 10)) : 0;
        // Without a file and a line the name comes from a symbol table, and
        // may be the nearest one before a function it does not name.
        if (symbol.StringOf("FileName").empty() || sourceLine == 0) return {};
        NativeFrame described = frame;
        described.function = symbol.StringOf("FunctionName");
        described.file = symbol.StringOf("FileName");
        described.line = sourceLine;
        described.inlined = true;
        frames.push_back(described);
    }
    if (!frames.empty()) frames.back().inlined = false;
    return frames;
}

}  // namespace Symbolize
}  // namespace Quorbel
