// TextEncoding.h: the one text encoder of the well-formed reports. AppendText
// writes a record's 8-bit text in JSON or in XML: valid UTF-8 comes out as it
// is, any other byte as the character of the same number (U+0080 to U+00FF),
// and each markup escapes what it must. Internal; not installed.

#ifndef QUORBEL_TEXTENCODING_H
#define QUORBEL_TEXTENCODING_H

#include "Numbers.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace Quorbel {

inline constexpr char replacementCharacter[] = "\xEF\xBF\xBD";  // U+FFFD in UTF-8

// The length of the valid UTF-8 sequence of two to four bytes that starts at
// p, or 0 when none does: no overlong form, no surrogate, nothing above U+10FFFF.
inline std::size_t SequenceLength(const unsigned char* p, const unsigned char* end) {
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
                const char escaped[] = {'\\', 'u', '0', '0', hexDigits[c >> 4], hexDigits[c & 15]};
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

}  // namespace Quorbel

#endif
