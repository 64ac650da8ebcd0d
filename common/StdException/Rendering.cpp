// The renderings: the text report with its stream-insertion operator, the
// XML report, the reports for tools, the JSON report and the escaped XML
// report, and the readable report for people. The reports for tools write
// their fields through one text encoder, AppendText, which a markup tells
// what to escape.

#include "StdException"
#include "Guard"
#include "Record.h"
#include "Reports"
#include "TextStream.h"
#include "ThrowSite"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <vector>

namespace Quorbel {

namespace {

const char closingTag[] = "</Exception>";

// Calls write(entry, position) for each entry that the level shows, origin
// first; position counts up from 0 at the origin.
template <class Write>
void ForEachShownEntry(const StdException::CallTrace& trace, DetailLevel level, Write write) {
    if (level == FullDetail) {
        std::size_t position = 0;
        for (StdException::CallTrace::const_reverse_iterator entry = trace.rbegin();
             entry != trace.rend(); ++entry)
            write(*entry, position++);
    } else if (level == MediumDetail) {
        write(trace.back(), 0);
    }
}

const char replacementCharacter[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// The length of the valid UTF-8 sequence of two to four bytes that starts at
// p, or 0 when none does: no overlong form, no surrogate, nothing above U+10FFFF.
std::size_t SequenceLength(const unsigned char* p, const unsigned char* end) {
    const unsigned lead = p[0];
    std::size_t length = 0;
    unsigned low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (static_cast<std::size_t>(end - p) < length || p[1] < low || p[1] > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if ((p[i] & 0xC0) != 0x80) return 0;
    return length;
}

// JSON strings: controls, the quote and the backslash escaped; everything else as it is.
struct JSON {
    static constexpr bool Plain(unsigned c) { return c >= 0x20 && c != '"' && c != '\\'; }
    static void Escape(std::string& out, unsigned char c) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default: {
                const char hex[] = "0123456789abcdef";
                const char escaped[] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 15]};
                out.append(escaped, sizeof escaped);
            }
        }
    }
    static bool Holds(const unsigned char*, std::size_t) { return true; }
};

// XML 1.0 text: markup as entities, tab and line ends as character references
// (which a parser neither drops nor normalizes), and the characters that XML
// cannot carry at all, the other controls, U+FFFE and U+FFFF, as U+FFFD.
struct XML {
    static constexpr bool Plain(unsigned c) {
        return c >= 0x20 && c != '&' && c != '<' && c != '>' && c != '"' && c != '\'';
    }
    static void Escape(std::string& out, unsigned char c) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '\t':
                out += "&#9;";
                break;
            case '\n':
                out += "&#10;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                out += replacementCharacter;
        }
    }
    static bool Holds(const unsigned char* p, std::size_t length) {
        return !(length == 3 && p[0] == 0xEF && p[1] == 0xBF && p[2] >= 0xBE);
    }
};

// The bits of the 64 characters from first on that Markup writes as they are.
template <class Markup>
constexpr std::uint64_t PlainBits(unsigned first, unsigned i = 0) {
    return i == 64 ? 0
                   : std::uint64_t(Markup::Plain(first + i)) << i | PlainBits<Markup>(first, i + 1);
}

// Whether Markup writes the byte c as it is, looked up in two words made at
// compile time.
template <class Markup>
bool IsPlain(unsigned char c) {
    static constexpr std::uint64_t plain[2] = {PlainBits<Markup>(0), PlainBits<Markup>(64)};
    return c < 0x80 && (plain[c >> 6] >> (c & 63) & 1) != 0;
}

// Appends the 8-bit text to out in Markup. A valid UTF-8 sequence stays as it
// is, each other byte stands for the character of the same number (U+0080 to
// U+00FF) and is written in UTF-8; Markup escapes the ASCII characters it does
// not take as they are and decides which sequences it can hold, the others
// become U+FFFD. Runs of bytes that stay as they are are copied in one go.
template <class Markup>
void AppendText(std::string& out, const std::string& text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* const end = p + text.size();
    const unsigned char* run = p;  // the first byte not appended yet
    while (p != end) {
        if (IsPlain<Markup>(*p)) {
            ++p;
            continue;
        }
        const std::size_t length = *p < 0x80 ? 1 : SequenceLength(p, end);
        if (length > 1 && Markup::Holds(p, length)) {
            p += length;
            continue;
        }
        out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
        if (length == 1) {
            Markup::Escape(out, *p);
        } else if (length == 0) {
            const char latin1[] = {static_cast<char>(0xC0 | *p >> 6),
                                   static_cast<char>(0x80 | (*p & 0x3F))};
            out.append(latin1, sizeof latin1);
        } else {
            out += replacementCharacter;
        }
        p += length == 0 ? 1 : length;
        run = p;
    }
    out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
}

void AppendNumber(std::string& out, std::uint64_t n) {
    char digits[20];
    char* first = digits + sizeof digits;
    do {
        *--first = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    out.append(first, static_cast<std::size_t>(digits + sizeof digits - first));
}

void AppendHex(std::string& out, std::uintptr_t n) {
    const char hex[] = "0123456789abcdef";
    char digits[2 * sizeof n];
    char* first = digits + sizeof digits;
    do {
        *--first = hex[n & 15];
        n >>= 4;
    } while (n != 0);
    out += "0x";
    out.append(first, static_cast<std::size_t>(digits + sizeof digits - first));
}

// A piece of fixed text with its length, both known at compile time, so that
// appending it does not count its characters.
struct Piece {
    const char* text;
    std::size_t size;
};

template <std::size_t N>
constexpr Piece P(const char (&text)[N]) {
    return Piece{text, N - 1};
}

std::string& operator+=(std::string& out, const Piece& piece) {
    return out.append(piece.text, piece.size);
}

// Writes the decimal digits of n at out and returns their end.
char* FormatNumber(char* out, std::uint64_t n) {
    char* end = out + 1;
    for (std::uint64_t rest = n / 10; rest != 0; rest /= 10) ++end;
    char* p = end;
    do {
        *--p = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    return end;
}

// Writes x, finite, at out as the shortest decimal text that reads back as
// x, always with a point or an exponent so that it reads back as a
// floating-point number ("1.0", not "1"): in positional notation when its
// decimal exponent is from -4 to 14, in scientific notation with a signed
// exponent of at least two digits otherwise ("1e+15", "1.5e-07"), as JSON
// libraries commonly write numbers; returns the end, at most 25 characters
// on. std::to_chars gives the digits whatever the locale.
char* FormatReal(char* out, double x) {
    if (std::signbit(x)) {
        *out++ = '-';
        x = -x;
    }
    // The numbers that people set mostly have a few decimals. The least number
    // d of them for which the nearest integer m to x * 10^d reads back as x
    // (m / 10^d, exact operands and one rounding, equals x) is what the
    // general way finds too, as long as x * 10^d stays below 2^50, where m is
    // exact and no two integers come that near x * 10^d.
    if (x >= 1e-4 && x < 1e15) {
        double scale = 1;  // 10^d, exact
        for (int d = 0; x * scale < 0x1p50; ++d, scale *= 10) {
            const double m = std::nearbyint(x * scale);
            if (m / scale != x) continue;
            if (m < scale) {  // 0.[0...]digits
                *out++ = '0';
                *out++ = '.';
                for (double rest = m * 10; rest < scale; rest *= 10) *out++ = '0';
                return FormatNumber(out, static_cast<std::uint64_t>(m));
            }
            char* const last = FormatNumber(out, static_cast<std::uint64_t>(m));
            if (d == 0) {
                last[0] = '.';
                last[1] = '0';
                return last + 2;
            }
            for (char* p = last; p != last - d; --p) *p = p[-1];  // room for the point
            last[-d] = '.';
            return last + 1;
        }
    }
    char buffer[32];
    const char* p = buffer;
    const char* const end =
        std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific).ptr;
    // [d][.ddd]e(+|-)dd: the digits without the point, and the exponent.
    const char* const e = std::find(p, end, 'e');
    char digits[20];
    char* const last = std::copy(p + 2 > e ? e : p + 2, e, digits + 1);
    digits[0] = *p;
    int exponent = 0;
    for (const char* q = e + 2; q < end; ++q) exponent = exponent * 10 + (*q - '0');
    if (e[1] == '-') exponent = -exponent;
    const int k = static_cast<int>(last - digits), n = exponent + 1;  // n digits before the point
    if (k <= n && n <= 15) {
        out = std::fill_n(std::copy(digits, last, out), n - k, '0');
        *out++ = '.';
        *out++ = '0';
    } else if (0 < n && n <= 15) {
        out = std::copy(digits, digits + n, out);
        *out++ = '.';
        out = std::copy(digits + n, last, out);
    } else if (-4 < n && n <= 0) {
        *out++ = '0';
        *out++ = '.';
        out = std::copy(digits, last, std::fill_n(out, -n, '0'));
    } else {
        *out++ = digits[0];
        if (k > 1) *out++ = '.';
        out = std::copy(digits + 1, last, out);
        *out++ = 'e';
        *out++ = exponent < 0 ? '-' : '+';
        if (exponent > -10 && exponent < 10) *out++ = '0';
        out = FormatNumber(out, static_cast<std::uint64_t>(exponent < 0 ? -exponent : exponent));
    }
    return out;
}

// Writes a value other than text at out and returns the end, at most 25
// characters on: integers exact, finite reals as FormatReal writes them, the
// others as NaN, Infinity or -Infinity, booleans as true or false.
char* FormatScalar(char* out, const FieldValue& value) {
    const auto put = [&](const char* text) {
        while (*text != 0) *out++ = *text++;
        return out;
    };
    switch (value.GetKind()) {
        case FieldValue::Integer: {
            const std::int64_t n = value.GetInteger();
            if (n < 0) *out++ = '-';
            // The magnitude in unsigned arithmetic, which holds that of the least value too.
            return FormatNumber(out, n < 0 ? 0 - static_cast<std::uint64_t>(n) : std::uint64_t(n));
        }
        case FieldValue::Unsigned:
            return FormatNumber(out, value.GetUnsigned());
        case FieldValue::Real: {
            const double x = value.GetReal();
            if (std::isfinite(x)) return FormatReal(out, x);
            return put(std::isnan(x) ? "NaN" : x < 0 ? "-Infinity" : "Infinity");
        }
        case FieldValue::Boolean:
            return put(value.GetBoolean() ? "true" : "false");
        case FieldValue::Text:
            break;
    }
    return out;
}

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
    void Put(const FieldValue& value) { end = FormatScalar(end, value); }
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
            out.append(text, FormatScalar(text, field.second));
        }
        out += P("</Field>");
    }
    out += P("</Fields>");
}

// The fixed text of one rendering around the fields of a frame, in the order
// in which they are written; where it depends on whether the frame was
// inlined, [0] is for a frame that was not, [1] for one that was.
struct FrameLayout {
    Piece separator;  // before each frame but the first
    Piece open;       // before the address
    Piece afterAddress[2];
    Piece afterModule;
    Piece afterFunction;
    Piece afterFile;
    Piece close[2];  // after the line
};

const FrameLayout jsonFrame = {P(","),
                               P("{\"address\":\""),
                               {P("\",\"module\":\""), P("\",\"module\":\"")},
                               P("\",\"function\":\""),
                               P("\",\"file\":\""),
                               P("\",\"line\":"),
                               {P(",\"inlined\":false}"), P(",\"inlined\":true}")}};

const FrameLayout xmlFrame = {
    P(""),
    P("<Frame address=\""),
    {P("\" inlined=\"false\"><Module>"), P("\" inlined=\"true\"><Module>")},
    P("</Module><Function>"),
    P("</Function><File>"),
    P("</File><Line>"),
    {P("</Line></Frame>"), P("</Line></Frame>")}};

// Writes the frames of a throw site in layout, with the fields in Markup.
template <class Markup>
void WriteFrames(std::string& out, const std::vector<NativeFrame>& site,
                 const FrameLayout& layout) {
    for (std::size_t i = 0; i != site.size(); ++i) {
        const NativeFrame& frame = site[i];
        if (i != 0) out += layout.separator;
        out += layout.open;
        AppendHex(out, frame.address);
        out += layout.afterAddress[frame.inlined];
        AppendText<Markup>(out, frame.module);
        out += layout.afterModule;
        AppendText<Markup>(out, frame.function);
        out += layout.afterFunction;
        AppendText<Markup>(out, frame.file);
        out += layout.afterFile;
        AppendNumber(out, frame.line);
        out += layout.close[frame.inlined];
    }
}

// The throw site of a record, where the capture library recorded one: after
// the call trace, as "throwSite" (and "thrownType" for a foreign object) in
// JSON, and as a ThrowSite element in XML.
void WriteThrowSite(JSON, std::string& out, const std::vector<NativeFrame>& site,
                    const std::string& thrownType) {
    if (!site.empty()) {
        out += ",\"throwSite\":[";
        WriteFrames<JSON>(out, site, jsonFrame);
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
    WriteFrames<XML>(out, site, xmlFrame);
    out += "</ThrowSite>";
}

// Calls write(kind, nested) for the exceptions that e's report nests, in
// order: its previous exception (kind 0), then for a BadHandlerException its
// handler (1) and its original exception (2).
template <class Write>
void ForEachNested(const StdException& e, Write write) {
    if (e.GetPreviousException() != nullptr) write(0, *e.GetPreviousException());
    const BadHandlerException* bad = dynamic_cast<const BadHandlerException*>(&e);
    if (bad != nullptr) {
        write(1, *bad->GetHandlerException());
        write(2, *bad->GetOriginalException());
    }
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
                          P(closingTag)};

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
                          AppendNumber(out, position);
                          out += layout.file;
                          AppendText<Markup>(out, entry.file);
                          out += layout.line;
                          AppendNumber(out, entry.line);
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

// Appends text, whose line ends (CR LF or LF) go on at indent.
void AppendLines(std::string& out, const std::string& text, const std::string& indent) {
    for (std::size_t i = 0; i != text.size(); ++i) {
        if (text[i] == '\r' && i + 1 != text.size() && text[i + 1] == '\n') continue;
        out += text[i];
        if (text[i] == '\n') out += indent;
    }
}

// Writes the frames of a throw site at indent, one a line, innermost first:
// "#0 function at file:line (module)".
void WriteFrames(std::string& out, const std::vector<NativeFrame>& site,
                 const std::string& thrownType, const std::string& indent) {
    if (site.empty()) return;
    out += indent + (thrownType.empty() ? "  thrown at\n" : "  thrown as " + thrownType + " at\n");
    for (std::size_t i = 0; i != site.size(); ++i) {
        const NativeFrame& frame = site[i];
        out += indent + "    #";
        AppendNumber(out, i);
        out += ' ';
        if (frame.function.empty())
            AppendHex(out, frame.address);
        else
            out += frame.function;
        if (!frame.file.empty()) {
            out += " at " + frame.file + ":";
            AppendNumber(out, frame.line);
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
                out.append(text, FormatScalar(text, field.second));
            out += '\n';
        }
    std::vector<const CallTraceEntry*> group;
    const auto writeGroup = [&] {
        if (group.empty()) return;
        out += indent + "  at " + group.front()->funcsig + "\n" + indent + "     " +
               group.front()->file + ":";
        for (std::size_t i = 0; i != group.size(); ++i) {
            if (i != 0) out += ", ";
            AppendNumber(out, group[i]->line);
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

std::string StdException::AsString() const {
    TextStream text;
    QUORBEL_GUARD("", "", [&] {
        text << DisplayValue() << "\r\n";
        const std::size_t newest = callTrace->size() - 1;
        ForEachShownEntry(*callTrace, detailLevel,
                          [&](const CallTraceEntry& entry, std::size_t position) {
                              if (detailLevel == FullDetail)
                                  text << "[" << newest - position << "] ";
                              text << "\tFile : " << entry.file << "\r\n\tLine : " << entry.line
                                   << "\r\n\tFunction signature : " << entry.funcsig
                                   << "\r\n\tParameters : " << entry.parameters
                                   << "\r\n\tDeveloper Comment : " << entry.comment << "\r\n";
                          });
        if (previousException.get() != nullptr) {
            // The previous report is copied once, into room made for it.
            text << "Translated from a previous exception:\r\n{\r\n";
            const std::string previous = previousException->AsString();
            const char closing[] = "}\r\n";
            text.Reserve(previous.size() + sizeof closing);
            text << previous << closing;
        }
    });
    return text.Take();
}

std::string StdException::AsXML() const {
    TextStream xml;
    QUORBEL_GUARD("", "", [&] {
        xml << "<Exception><Name>" << TypeName() << "</Name><Value>" << DisplayValue()
            << "</Value><CallTrace>";
        ForEachShownEntry(
            *callTrace, detailLevel, [&](const CallTraceEntry& entry, std::size_t position) {
                xml << "<CallTraceEntry position=\"" << position << "\"><File>" << entry.file
                    << "</File><Line>" << entry.line << "</Line><FuncSig>" << entry.funcsig
                    << "</FuncSig><Params>" << entry.parameters << "</Params><Comment>"
                    << entry.comment << "</Comment></CallTraceEntry>";
            });
        xml << "</CallTrace>";
        if (previousException.get() != nullptr) {
            // The previous report is copied once, into room made for it.
            xml << "<PreviousException>";
            const std::string previous = previousException->AsXML();
            const char closing[] = "</PreviousException>";
            xml.Reserve(previous.size() + sizeof closing + sizeof closingTag);
            xml << previous << closing;
        }
        xml << closingTag;
    });
    return xml.Take();
}

std::string BadHandlerException::AsString() const {
    std::string text;
    QUORBEL_GUARD("", "", [&] {
        // Built part by part, in this order, so that when more than one part
        // fails it is always the first one's failure that comes out.
        text = StdException::AsString();
        text += "Handler Exception:\r\n" + handlerException->AsString();
        text += "Original Exception:\r\n" + originalException->AsString();
    });
    return text;
}

std::string BadHandlerException::AsXML() const {
    std::string xml;
    QUORBEL_GUARD("", "", [&] {
        xml = StdException::AsXML();
        std::string held = "<HandlerException>" + handlerException->AsXML();
        held += "</HandlerException><OriginalException>" + originalException->AsXML();
        held += "</OriginalException>";
        // The held exceptions become the last children of this exception's
        // own element, which the base layout always closes last.
        xml.insert(xml.size() - (sizeof closingTag - 1), held);
    });
    return xml;
}

std::ostream& operator<<(std::ostream& os, const StdException& e) {
    return QUORBEL_GUARD("", "No parameter info here.",
                         [&]() -> std::ostream& { return os << e.AsString(); });
}

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

std::string AsReadable(const StdException& e) {
    return QUORBEL_GUARD("", "", [&] {
        std::string text;
        WriteReadable(text, e, "");
        return text;
    });
}

std::string FieldText(const FieldValue& value) {
    if (value.GetKind() == FieldValue::Text) return value.GetText();
    char text[32];
    return std::string(text, FormatScalar(text, value));
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
