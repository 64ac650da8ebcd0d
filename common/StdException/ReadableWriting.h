// ReadableWriting.h: how the readable report is written, from any source of
// what it shows. AsReadable (ReadableReport.cpp) writes it from a record,
// stdexception-symbolize from a JSON report, so that both read alike.
// Internal; not installed.

#ifndef QUORBEL_READABLEWRITING_H
#define QUORBEL_READABLEWRITING_H

#include "Numbers.h"
#include "ThrowSite"

#include <cstddef>
#include <string>
#include <vector>

namespace Quorbel {

// Appends text, whose line ends (CR LF or LF) go on at indent.
inline void AppendLines(std::string& out, const std::string& text, const std::string& indent) {
    for (std::size_t i = 0; i != text.size(); ++i) {
        if (text[i] == '\r' && i + 1 != text.size() && text[i + 1] == '\n') continue;
        out += text[i];
        if (text[i] == '\n') out += indent;
    }
}

// Whether a frame is one of those that start the program or a thread, below
// every stack: the C runtime's and the thread library's, under the names of
// their symbols and of their debugging information.
inline bool IsStartFrame(const NativeFrame& frame) {
    static const char* const starts[] = {"_start",
                                         "__libc_start_main",
                                         "__libc_start_main_impl",
                                         "__libc_start_call_main",
                                         "start_thread",
                                         "clone",
                                         "__clone",
                                         "clone3",
                                         "__clone3"};
    for (const char* start : starts)
        if (frame.function == start) return true;
    return false;
}

// Whether a frame belongs to what starts the program or a thread: a start
// frame, or a frame without a name in the C library or the dynamic linker,
// whose own functions have no symbols where their debugging information is
// not installed.
inline bool IsRuntimeFrame(const NativeFrame& frame) {
    if (IsStartFrame(frame)) return true;
    if (!frame.function.empty()) return false;
    const std::string name = frame.module.substr(frame.module.find_last_of('/') + 1);
    return name.compare(0, 7, "libc.so") == 0 || name.compare(0, 8, "ld-linux") == 0;
}

// How many frames of site are shown: all but the outermost ones that start
// the program or the thread, the frames without a name in the modules of
// those (a C runtime without symbols of its own functions), and a stripped
// program's own start, the outermost frame, without a name below them.
inline std::size_t ShownFrames(const std::vector<NativeFrame>& site) {
    std::size_t shown = site.size();
    if (shown > 1 && site[shown - 1].function.empty() && IsRuntimeFrame(site[shown - 2])) --shown;
    while (shown != 0 && (IsRuntimeFrame(site[shown - 1]) ||
                          (shown != site.size() && site[shown - 1].function.empty() &&
                           site[shown - 1].module == site[shown].module)))
        --shown;
    return shown;
}

// Writes the frames of a throw site at indent, one a line, innermost first,
// without the frames that start the program or the thread below them:
// "#0 function at file:line (module)", or "#0 module+0x1f2e" where no
// function is known.
inline void WriteReadableFrames(std::string& out, const std::vector<NativeFrame>& site,
                                const std::string& thrownType, const std::string& indent) {
    const std::size_t shown = ShownFrames(site);
    if (shown == 0) return;
    out += indent + (thrownType.empty() ? "  thrown at\n" : "  thrown as " + thrownType + " at\n");
    for (std::size_t i = 0; i != shown; ++i) {
        const NativeFrame& frame = site[i];
        out += indent + "    #";
        AppendDecimal(out, i);
        out += ' ';
        if (frame.function.empty()) {
            if (frame.module.empty()) {
                AppendHex(out, frame.address);
            } else {
                out += frame.module + "+";
                AppendHex(out, frame.offset);
            }
            out += '\n';
            continue;
        }
        out += frame.function;
        if (!frame.file.empty()) {
            out += " at " + frame.file + ":";
            AppendDecimal(out, frame.line);
        }
        if (frame.module.empty()) {
            out += '\n';  // the mark where the copy of the stack ends
            continue;
        }
        out += " (" + frame.module + (frame.inlined ? ", inlined)\n" : ")\n");
    }
}

// Writes the readable report of e at indent: "TypeName: description", its
// fields one a line ("key: value"), the shown entries origin first,
// neighbours in one function as one entry with their lines, the frames of the
// throw site, then the nested exceptions, indented further. Access says what
// e shows:
//   Access::TypeName(e), Access::DisplayValue(e), Access::ThrownType(e): texts;
//   Access::Site(e): the frames of its throw site;
//   Access::ForEachField(e, f): f(key, text, isText) for each field in order,
//     the text of a value that is no text as FieldText writes it;
//   Access::Entries(e): the shown entries, origin first, a container of what
//     converts to const Access::Entry& (with file, line, funcsig, parameters
//     and comment), which holds them while it lives;
//   Access::ForEachNested(e, f): f(kind, nested), kind 0 for the previous
//     exception, 1 for a handler exception, 2 for an original exception.
template <class Access, class Exception>
void WriteReadable(std::string& out, const Exception& e, const std::string& indent) {
    out += indent;
    out += Access::TypeName(e);
    out += ": ";
    AppendLines(out, Access::DisplayValue(e), indent + "  ");
    out += '\n';
    Access::ForEachField(e, [&](const std::string& key, const std::string& text, bool isText) {
        out += indent + "  " + key + ": ";
        if (isText)
            AppendLines(out, text, indent + "    ");
        else
            out += text;
        out += '\n';
    });
    using Entry = typename Access::Entry;
    std::vector<const Entry*> group;
    const auto writeGroup = [&] {
        if (group.empty()) return;
        out += indent + "  at " + group.front()->funcsig + "\n" + indent + "     " +
               group.front()->file + ":";
        for (std::size_t i = 0; i != group.size(); ++i) {
            if (i != 0) out += ", ";
            AppendDecimal(out, group[i]->line);
        }
        out += '\n';
        for (const Entry* entry : group) {
            if (!entry->parameters.empty())
                out += indent + "     parameters: " + entry->parameters + "\n";
            if (!entry->comment.empty()) out += indent + "     comment: " + entry->comment + "\n";
        }
        group.clear();
    };
    const auto entries = Access::Entries(e);
    for (const Entry& entry : entries) {
        if (!group.empty() &&
            (group.back()->funcsig != entry.funcsig || group.back()->file != entry.file))
            writeGroup();
        group.push_back(&entry);
    }
    writeGroup();
    WriteReadableFrames(out, Access::Site(e), Access::ThrownType(e), indent);
    const char* const headings[] = {"  translated from:\n", "  handler exception:\n",
                                    "  original exception:\n"};
    Access::ForEachNested(e, [&](int kind, const Exception& nested) {
        out += indent + headings[kind];
        WriteReadable<Access>(out, nested, indent + "    ");
    });
}

}  // namespace Quorbel

#endif
