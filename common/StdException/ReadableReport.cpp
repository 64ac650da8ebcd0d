// The readable report: what a person reads first about an exception, with LF
// line ends.

#include "StdException"
#include "Guard"
#include "Numbers.h"
#include "Record.h"
#include "Reports"
#include "ThrowSite"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace Quorbel {

namespace {

// Appends text, whose line ends (CR LF or LF) go on at indent.
void AppendLines(std::string& out, const std::string& text, const std::string& indent) {
    for (std::size_t i = 0; i != text.size(); ++i) {
        if (text[i] == '\r' && i + 1 != text.size() && text[i + 1] == '\n') continue;
        out += text[i];
        if (text[i] == '\n') out += indent;
    }
}

// Whether a frame is one of those that start the program or a thread, below
// every stack: the C runtime's and the thread library's, under the names of
// their symbols and of their debugging information.
bool IsStartFrame(const NativeFrame& frame) {
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

// How many frames of site are shown: all but the outermost ones that start
// the program or the thread, and the frames without a name in their modules
// between them (a C runtime without symbols of its own functions).
std::size_t ShownFrames(const std::vector<NativeFrame>& site) {
    std::size_t shown = site.size();
    while (shown != 0 && (IsStartFrame(site[shown - 1]) ||
                          (shown != site.size() && site[shown - 1].function.empty() &&
                           site[shown - 1].module == site[shown].module)))
        --shown;
    return shown;
}

// Writes the frames of a throw site at indent, one a line, innermost first,
// without the frames that start the program or the thread below them:
// "#0 function at file:line (module)", or "#0 module+0x1f2e" where no
// function is known.
void WriteFrames(std::string& out, const std::vector<NativeFrame>& site,
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
        out += " (" + frame.module + (frame.inlined ? ", inlined)\n" : ")\n");
    }
}

// Writes the readable report of e at indent: "TypeName: description", its
// fields one a line ("key: value"), the shown entries origin first,
// neighbours in one function as one entry with their lines, the frames of the
// throw site, then the nested exceptions, indented further.
void WriteReadable(std::string& out, const StdException& e, const std::string& indent) {
    out += indent;
    out += e.TypeName();
    out += ": ";
    AppendLines(out, e.DisplayValue(), indent + "  ");
    out += '\n';
    if (const RecordExtras::Fields* fields = FieldsOf(e))
        for (const std::pair<std::string, FieldValue>& field : *fields) {
            out += indent + "  " + field.first + ": ";
            char text[32];
            if (field.second.GetKind() == FieldValue::Text)
                AppendLines(out, field.second.GetText(), indent + "    ");
            else
                out.append(text, WriteScalar(text, field.second));
            out += '\n';
        }
    std::vector<const CallTraceEntry*> group;
    const auto writeGroup = [&] {
        if (group.empty()) return;
        out += indent + "  at " + group.front()->funcsig + "\n" + indent + "     " +
               group.front()->file + ":";
        for (std::size_t i = 0; i != group.size(); ++i) {
            if (i != 0) out += ", ";
            AppendDecimal(out, group[i]->line);
        }
        out += '\n';
        for (const CallTraceEntry* entry : group) {
            if (!entry->parameters.empty())
                out += indent + "     parameters: " + entry->parameters + "\n";
            if (!entry->comment.empty()) out += indent + "     comment: " + entry->comment + "\n";
        }
        group.clear();
    };
    ForEachShownEntry(
        e.GetCallTrace(), e.GetDetailLevel(), [&](const CallTraceEntry& entry, std::size_t) {
            if (!group.empty() &&
                (group.back()->funcsig != entry.funcsig || group.back()->file != entry.file))
                writeGroup();
            group.push_back(&entry);
        });
    writeGroup();
    WriteFrames(out, GetThrowSite(e), GetThrownType(e), indent);
    const char* const headings[] = {"  translated from:\n", "  handler exception:\n",
                                    "  original exception:\n"};
    ForEachNested(e, [&](int kind, const StdException& nested) {
        out += indent + headings[kind];
        WriteReadable(out, nested, indent + "    ");
    });
}

}  // namespace

std::string AsReadable(const StdException& e) {
    return QUORBEL_GUARD("", "", [&] {
        std::string text;
        WriteReadable(text, e, "");
        return text;
    });
}

std::string AsReadable(const std::exception& e) {
    return QUORBEL_GUARD("", "", [&] {
        std::string text = ReadableTypeName(typeid(e)) + ": ";
        AppendLines(text, e.what(), "  ");
        text += '\n';
        WriteFrames(text, ThrowSiteOf(dynamic_cast<const void*>(&e)), "", "");
        return text;
    });
}

}  // namespace Quorbel
