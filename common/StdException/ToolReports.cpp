// The reports for tools: the JSON report and the escaped XML report, written
// by one template over a layout of each, their texts through the one text
// encoder. Fixed text, short texts and numbers are gathered and appended in
// one go, so that a report costs about what copying its texts costs.

#include "StdException"
#include "Guard"
#include "Numbers.h"
#include "Record.h"
#include "FrameWriting.h"
#include "Reports"
#include "TextEncoding.h"
#include "ThrowSite"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Quorbel {

namespace {

// Fixed text, short texts and numbers gathered on the stack, so that they
// are appended to a report in one go. They are short: bytes are copied one
// by one, which costs less than a call to copy them.
class Pending {
public:
    Pending() : end(text) {}
    void Put(const Piece& piece) {
        for (std::size_t i = 0; i != piece.size; ++i) *end++ = piece.text[i];
    }
    // Put: takes text when it is short and Markup writes it as it is;
    // otherwise appends what is pending and text through the text encoder.
    template <class Markup>
    void Put(std::string& out, const std::string& text) {
        char* p = end;
        if (text.size() <= 64)
            for (const char c : text) {
                if (!IsPlain<Markup>(static_cast<unsigned char>(c))) break;
                *p++ = c;
            }
        if (p - end == static_cast<std::ptrdiff_t>(text.size())) {
            end = p;
        } else {
            Flush(out);
            AppendText<Markup>(out, text);
        }
    }
    void Put(const FieldValue& value) { end = WriteScalar(end, value); }
    void Flush(std::string& out) {
        out.append(text, end);
        end = text;
    }
    // MakeRoom: appends what is pending unless there is room for one more
    // field: a separator, a key and a value of 64 bytes each, and the closing text.
    void MakeRoom(std::string& out) {
        if (text + sizeof text - end < 160) Flush(out);
    }

private:
    char text[512];
    char* end;
};

// The fields of a record, where it has any: after the throw site, as the
// object "fields" in JSON, keys in order, and as a Fields element in XML, one
// Field a field, named and typed in attributes. Keys go through the same
// encoder as every other text, and so do two keys that differ only in bytes
// that encode alike: both are written as they come. JSON writes text, and
// the reals it has no number for, as strings. Everything but long texts and
// texts that need escaping is appended in one go.
void WriteFields(JSON, std::string& out, const RecordExtras::Fields* fields) {
    if (fields == nullptr) return;
    Pending pending;
    pending.Put(P(",\"fields\":{\""));
    bool quoted = false;  // the last value written was a string
    for (std::size_t i = 0; i != fields->size(); ++i) {
        const std::pair<std::string, FieldValue>& field = (*fields)[i];
        pending.MakeRoom(out);
        if (i != 0) pending.Put(quoted ? P("\",\"") : P(",\""));
        pending.Put<JSON>(out, field.first);
        const FieldValue& value = field.second;
        quoted = value.GetKind() == FieldValue::Text ||
                 (value.GetKind() == FieldValue::Real && !std::isfinite(value.GetReal()));
        pending.Put(quoted ? P("\":\"") : P("\":"));
        if (value.GetKind() == FieldValue::Text)
            pending.Put<JSON>(out, value.GetText());
        else
            pending.Put(value);
    }
    pending.Put(quoted ? P("\"}") : P("}"));
    pending.Flush(out);
}

void WriteFields(XML, std::string& out, const RecordExtras::Fields* fields) {
    if (fields == nullptr) return;
    static const char* const types[] = {"\" type=\"text\">", "\" type=\"integer\">",
                                        "\" type=\"unsigned\">", "\" type=\"real\">",
                                        "\" type=\"boolean\">"};
    out += P("<Fields>");
    for (const std::pair<std::string, FieldValue>& field : *fields) {
        out += P("<Field name=\"");
        AppendText<XML>(out, field.first);
        out += types[field.second.GetKind()];
        if (field.second.GetKind() == FieldValue::Text) {
            AppendText<XML>(out, field.second.GetText());
        } else {
            char text[32];
            out.append(text, WriteScalar(text, field.second));
        }
        out += P("</Field>");
    }
    out += P("</Fields>");
}

// The throw site of a record, where the capture library recorded one: after
// the call trace, as "throwSite" (and "thrownType" for a foreign object) in
// JSON, and as a ThrowSite element in XML.
void WriteThrowSite(JSON, std::string& out, const std::vector<NativeFrame>& site,
                    const std::string& thrownType) {
    if (!site.empty()) {
        out += ",\"throwSite\":[";
        WriteFrames<JSON>(out, site.data(), site.data() + site.size(), jsonFrame);
        out += "]";
    }
    if (!thrownType.empty()) {
        out += ",\"thrownType\":\"";
        AppendText<JSON>(out, thrownType);
        out += "\"";
    }
}

void WriteThrowSite(XML, std::string& out, const std::vector<NativeFrame>& site,
                    const std::string& thrownType) {
    if (site.empty() && thrownType.empty()) return;
    out += "<ThrowSite";
    if (!thrownType.empty()) {
        out += " thrownType=\"";
        AppendText<XML>(out, thrownType);
        out += "\"";
    }
    out += ">";
    WriteFrames<XML>(out, site.data(), site.data() + site.size(), xmlFrame);
    out += "</ThrowSite>";
}

// About the size of e's report, so that the string seldom grows while it is written.
std::size_t RoughSize(const StdException& e) {
    std::size_t size = 256;
    ForEachShownEntry(e.GetCallTrace(), e.GetDetailLevel(),
                      [&](const CallTraceEntry& entry, std::size_t) {
                          size += 128 + entry.file.size() + entry.funcsig.size() +
                                  entry.parameters.size() + entry.comment.size();
                      });
    if (const RecordExtras::Fields* fields = FieldsOf(e))
        for (const std::pair<std::string, FieldValue>& field : *fields)
            size += 48 + field.first.size() + field.second.GetText().size();
    ForEachNested(e, [&](int, const StdException& nested) { size += RoughSize(nested); });
    return size;
}

// The fixed text of one well-formed rendering around the fields it writes,
// in the order in which it is written.
struct Layout {
    Piece name;         // before the TypeName
    Piece value;        // before the DisplayValue
    Piece trace;        // before the first entry
    Piece position[2];  // before the position of the first entry, of the others
    Piece file;         // before each field of an entry, in order
    Piece line;
    Piece funcsig;
    Piece parameters;
    Piece comment;
    Piece entryEnd;      // after an entry
    Piece traceEnd;      // after the last entry
    Piece nested[3][2];  // around a previous, a handler and an original exception
    Piece end;           // at the end of the exception
};

const Layout jsonLayout = {P("{\"name\":\""),
                           P("\",\"value\":\""),
                           P("\",\"callTrace\":["),
                           {P("{\"position\":"), P(",{\"position\":")},
                           P(",\"file\":\""),
                           P("\",\"line\":"),
                           P(",\"funcsig\":\""),
                           P("\",\"parameters\":\""),
                           P("\",\"comment\":\""),
                           P("\"}"),
                           P("]"),
                           {{P(",\"previousException\":"), P("")},
                            {P(",\"handlerException\":"), P("")},
                            {P(",\"originalException\":"), P("")}},
                           P("}")};

const Layout xmlLayout = {P("<Exception><Name>"),
                          P("</Name><Value>"),
                          P("</Value><CallTrace>"),
                          {P("<CallTraceEntry position=\""), P("<CallTraceEntry position=\"")},
                          P("\"><File>"),
                          P("</File><Line>"),
                          P("</Line><FuncSig>"),
                          P("</FuncSig><Params>"),
                          P("</Params><Comment>"),
                          P("</Comment></CallTraceEntry>"),
                          P("</CallTrace>"),
                          {{P("<PreviousException>"), P("</PreviousException>")},
                           {P("<HandlerException>"), P("</HandlerException>")},
                           {P("<OriginalException>"), P("</OriginalException>")}},
                          P("</Exception>")};

// Writes e, its chain and its held exceptions in layout, with the fields in Markup.
template <class Markup>
void Write(std::string& out, const StdException& e, const Layout& layout) {
    out += layout.name;
    AppendText<Markup>(out, e.TypeName());
    out += layout.value;
    AppendText<Markup>(out, e.DisplayValue());
    out += layout.trace;
    ForEachShownEntry(e.GetCallTrace(), e.GetDetailLevel(),
                      [&](const CallTraceEntry& entry, std::size_t position) {
                          out += layout.position[position != 0];
                          AppendDecimal(out, position);
                          out += layout.file;
                          AppendText<Markup>(out, entry.file);
                          out += layout.line;
                          AppendDecimal(out, entry.line);
                          out += layout.funcsig;
                          AppendText<Markup>(out, entry.funcsig);
                          out += layout.parameters;
                          AppendText<Markup>(out, entry.parameters);
                          out += layout.comment;
                          AppendText<Markup>(out, entry.comment);
                          out += layout.entryEnd;
                      });
    out += layout.traceEnd;
    WriteThrowSite(Markup(), out, GetThrowSite(e), GetThrownType(e));
    WriteFields(Markup(), out, FieldsOf(e));
    ForEachNested(e, [&](int kind, const StdException& nested) {
        out += layout.nested[kind][0];
        Write<Markup>(out, nested, layout);
        out += layout.nested[kind][1];
    });
    out += layout.end;
}

}  // namespace

// Each report is guarded once, here: the nested exceptions are written by the
// unguarded Write, so a failure anywhere in the report gets this operation's
// entry once.
std::string AsJSON(const StdException& e) {
    return QUORBEL_GUARD("", "", [&] {
        std::string json;
        json.reserve(RoughSize(e));
        Write<JSON>(json, e, jsonLayout);
        return json;
    });
}

std::string AsEscapedXML(const StdException& e) {
    return QUORBEL_GUARD("", "", [&] {
        std::string xml;
        xml.reserve(RoughSize(e));
        Write<XML>(xml, e, xmlLayout);
        return xml;
    });
}

}  // namespace Quorbel
