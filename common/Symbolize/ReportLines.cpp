// A report's frames filled in: the line is read as JSON, each frame object of
// every "throwSite" array, of the exception and of its nested exceptions, is
// described again from its module's debugging information, and the frames
// that come of it are written in its place as the reports write frames;
// every other byte stays as it came.

#include "ReportLines.h"

#include "Json.h"

#include "StdException/FrameWriting.h"
#include "StdException/ReadableWriting.h"
#include "ThrowSites/CodeView.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace Quorbel {
namespace Symbolize {

namespace {

// The members of an exception that hold nested exceptions, in the order of
// the readable report's kinds.
const char* const nestedKeys[] = {"previousException", "handlerException", "originalException"};

int nestedKind(const std::string& key) {
    for (int kind = 0; kind != 3; ++kind)
        if (key == nestedKeys[kind]) return kind;
    return -1;
}

// The number of "0x" and up to 16 hex digits.
bool readHex(const std::string& text, std::uintptr_t& value) {
    if (text.size() < 3 || text.size() > 18 || text.compare(0, 2, "0x") != 0) return false;
    value = 0;
    for (std::size_t i = 2; i != text.size(); ++i) {
        const char* digit = std::strchr(hexDigits, text[i]);
        if (text[i] == 0 || digit == nullptr) return false;
        value = value << 4 | static_cast<std::uintptr_t>(digit - hexDigits);
    }
    return true;
}

bool isBuildId(const std::string& text) {
    if (ThrowSites::IsCodeViewId(text)) return true;
    if (text.size() < 4 || text.size() % 2 != 0) return false;
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

bool isInlined(const JsonValue& frame) {
    const JsonValue* inlined = frame.Find("inlined");
    return inlined != nullptr && inlined->kind == JsonValue::Boolean && inlined->text == "true";
}

// The number "line" of an object, 0 where it has none.
std::uint32_t lineOf(const JsonValue& object) {
    const JsonValue* line = object.Find("line");
    if (line == nullptr || line->kind != JsonValue::Number) return 0;
    return static_cast<std::uint32_t>(std::strtoul(line->text.c_str(), nullptr, 10));
}

// A frame object as a NativeFrame; offset and address 0 where they are no
// hex strings.
NativeFrame frameOf(const JsonValue& object) {
    NativeFrame frame = {0,
                         object.StringOf("module"),
                         object.StringOf("function"),
                         object.StringOf("file"),
                         0,
                         isInlined(object),
                         0,
                         object.StringOf("buildId")};
    if (!readHex(object.StringOf("address"), frame.address)) frame.address = 0;
    if (!readHex(object.StringOf("offset"), frame.offset)) frame.offset = 0;
    frame.line = lineOf(object);
    return frame;
}

// Whether two frame objects name the same call: an inlined frame and those
// that follow it at the same place.
bool samePlace(const JsonValue& a, const JsonValue& b) {
    return a.StringOf("address") == b.StringOf("address") &&
           a.StringOf("offset") == b.StringOf("offset") &&
           a.StringOf("buildId") == b.StringOf("buildId");
}

// Bytes of the text to write in place of others.
struct Replacement {
    std::size_t begin;
    std::size_t end;
    std::string text;
};

// Adds the replacements of the frames of one throw site: each call, its
// inlined frames and the frame they were inlined into, as one.
void replaceFrames(const JsonValue& site, Resolver& resolver, std::vector<Replacement>& out) {
    const std::vector<JsonValue>& items = site.items;
    std::vector<NativeFrame> frames;
    for (std::size_t first = 0, last = 0; first != items.size(); first = last + 1) {
        last = first;
        if (items[first].kind != JsonValue::Object) continue;
        while (last + 1 != items.size() && isInlined(items[last]) &&
               items[last + 1].kind == JsonValue::Object && samePlace(items[last], items[last + 1]))
            ++last;
        const NativeFrame frame = frameOf(items[first]);
        frames.clear();
        if (frame.address == 0 || !isBuildId(frame.buildId) || !resolver.Describe(frame, frames))
            continue;
        Replacement replacement = {items[first].begin, items[last].end, std::string()};
        WriteFrames<JSON>(replacement.text, frames.data(), frames.data() + frames.size(),
                          jsonFrame);
        out.push_back(std::move(replacement));
    }
}

// Adds the replacements of an exception's throw site and of those of its
// nested exceptions, in the order in which they come in the text.
void replaceSites(const JsonValue& exception, Resolver& resolver, std::vector<Replacement>& out) {
    for (std::size_t i = 0; i != exception.keys.size(); ++i) {
        const JsonValue& value = exception.items[i];
        if (exception.keys[i] == "throwSite" && value.kind == JsonValue::Array)
            replaceFrames(value, resolver, out);
        else if (value.kind == JsonValue::Object && nestedKind(exception.keys[i]) >= 0)
            replaceSites(value, resolver, out);
    }
}

// What the readable report shows of a JSON report.
struct ReadableOfJson {
    struct Entry {
        std::string file;
        std::uint32_t line;
        std::string funcsig;
        std::string parameters;
        std::string comment;
    };
    static const std::string& TypeName(const JsonValue& e) { return e.StringOf("name"); }
    static const std::string& DisplayValue(const JsonValue& e) { return e.StringOf("value"); }
    static const std::string& ThrownType(const JsonValue& e) { return e.StringOf("thrownType"); }
    static std::vector<NativeFrame> Site(const JsonValue& e) {
        std::vector<NativeFrame> site;
        if (const JsonValue* frames = e.Find("throwSite"))
            for (const JsonValue& frame : frames->items)
                if (frame.kind == JsonValue::Object) site.push_back(frameOf(frame));
        return site;
    }
    template <class Write>
    static void ForEachField(const JsonValue& e, Write write) {
        if (const JsonValue* fields = e.Find("fields"))
            for (std::size_t i = 0; i != fields->keys.size(); ++i)
                write(fields->keys[i], fields->items[i].text,
                      fields->items[i].kind == JsonValue::String);
    }
    static std::vector<Entry> Entries(const JsonValue& e) {
        std::vector<Entry> entries;
        if (const JsonValue* trace = e.Find("callTrace"))
            for (const JsonValue& entry : trace->items)
                entries.push_back(Entry{entry.StringOf("file"), lineOf(entry),
                                        entry.StringOf("funcsig"), entry.StringOf("parameters"),
                                        entry.StringOf("comment")});
        return entries;
    }
    template <class Write>
    static void ForEachNested(const JsonValue& e, Write write) {
        for (int kind = 0; kind != 3; ++kind) {
            const JsonValue* nested = e.Find(nestedKeys[kind]);
            if (nested != nullptr && nested->kind == JsonValue::Object) write(kind, *nested);
        }
    }
};

// The report of a journal entry, the string EXCEPTION_JSON or the array of
// bytes that journalctl writes for a value that is no printable UTF-8.
bool journalReport(const JsonValue& value, std::string& report, std::string& problem) {
    if (value.kind == JsonValue::String) {
        report = value.text;
        return true;
    }
    if (value.kind == JsonValue::Array) {
        for (const JsonValue& byte : value.items) {
            const long number =
                byte.kind == JsonValue::Number ? std::strtol(byte.text.c_str(), nullptr, 10) : -1;
            if (number < 0 || number > 255 || byte.text.find_first_of(".eE") != std::string::npos) {
                problem = "EXCEPTION_JSON is an array that is not one of bytes";
                return false;
            }
            report += static_cast<char>(number);
        }
        return true;
    }
    problem = value.kind == JsonValue::Null
                  ? "EXCEPTION_JSON is null (journalctl writes long values as null without --all)"
                  : "EXCEPTION_JSON is neither a string nor an array of bytes";
    return false;
}

bool isJournalEntry(const JsonValue& value) {
    return value.Find("__CURSOR") != nullptr || value.Find("__REALTIME_TIMESTAMP") != nullptr;
}

// The report in text, read as report, with its frames filled in, in format,
// appended to out.
bool symbolizeReport(const std::string& text, JsonValue& report, Resolver& resolver,
                     OutputFormat format, std::string& out, std::string& problem) {
    if (report.kind != JsonValue::Object || report.Find("name") == nullptr ||
        report.Find("name")->kind != JsonValue::String) {
        problem = "not a report (no \"name\")";
        return false;
    }
    std::vector<Replacement> replacements;
    replaceSites(report, resolver, replacements);
    std::string written;
    std::string& json = format == OutputFormat::JSON ? out : written;
    std::size_t copied = 0;
    for (const Replacement& replacement : replacements) {
        json.append(text, copied, replacement.begin - copied);
        json += replacement.text;
        copied = replacement.end;
    }
    json.append(text, copied, std::string::npos);
    if (format == OutputFormat::JSON) {
        out += '\n';
        return true;
    }
    if (!ReadJson(written, report, problem)) return false;  // not expected: the frames are JSON
    WriteReadable<ReadableOfJson>(out, report, "");
    return true;
}

}  // namespace

bool SymbolizeLine(const std::string& line, Resolver& resolver, OutputFormat format,
                   std::string& out, std::string& problem) {
    JsonValue value;
    if (!ReadJson(line, value, problem)) {
        problem = "not JSON: " + problem;
        return false;
    }
    const JsonValue* journalJson = value.Find("EXCEPTION_JSON");
    if (journalJson == nullptr && isJournalEntry(value)) return true;  // an entry of another kind
    const std::size_t size = out.size();
    if (journalJson == nullptr) {
        if (symbolizeReport(line, value, resolver, format, out, problem)) return true;
        out.resize(size);
        return false;
    }
    std::string text;
    JsonValue report;
    if (!journalReport(*journalJson, text, problem)) return false;
    if (!ReadJson(text, report, problem)) {
        problem = "EXCEPTION_JSON: not JSON: " + problem;
        return false;
    }
    if (symbolizeReport(text, report, resolver, format, out, problem)) return true;
    out.resize(size);
    problem = "EXCEPTION_JSON: " + problem;
    return false;
}

}  // namespace Symbolize
}  // namespace Quorbel
