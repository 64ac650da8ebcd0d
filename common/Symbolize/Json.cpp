// The JSON reader: recursive descent over the bytes of one line. Strings are
// decoded into UTF-8 (escapes, surrogate pairs); other bytes are taken as they
// are, as the reports write UTF-8 without escapes.

#include "Json.h"

#include <cstdint>

namespace Quorbel {
namespace Symbolize {

namespace {

const std::size_t maxDepth = 256;

class Reader {
public:
    explicit Reader(const std::string& text) : text(text), at(0) {}

    bool Read(JsonValue& value, std::string& problem) {
        skipBlanks();
        if (!readValue(value, 0)) {
            problem = this->problem;
            return false;
        }
        skipBlanks();
        if (at != text.size()) {
            fail("text after the end of the JSON value");
            problem = this->problem;
            return false;
        }
        return true;
    }

private:
    const std::string& text;
    std::size_t at;
    std::string problem;

    bool fail(const char* what) {
        problem = std::string(what) + (at < text.size() ? " at byte " + std::to_string(at + 1)
                                                        : " at the end of the line");
        return false;
    }

    void skipBlanks() {
        while (at != text.size() &&
               (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r'))
            ++at;
    }

    bool take(char c) {
        if (at == text.size() || text[at] != c) return false;
        ++at;
        return true;
    }

    bool readWord(const char* word) {
        for (const char* p = word; *p != 0; ++p, ++at)
            if (at == text.size() || text[at] != *p) return fail("not a JSON value");
        return true;
    }

    bool readValue(JsonValue& value, std::size_t depth) {
        value.begin = at;
        if (at == text.size()) return fail("a value missing");
        bool read = false;
        switch (text[at]) {
            case '{':
                read = readObject(value, depth);
                break;
            case '[':
                read = readArray(value, depth);
                break;
            case '"':
                value.kind = JsonValue::String;
                read = readString(value.text);
                break;
            case 't':
                value.kind = JsonValue::Boolean;
                read = readWord("true");
                break;
            case 'f':
                value.kind = JsonValue::Boolean;
                read = readWord("false");
                break;
            case 'n':
                value.kind = JsonValue::Null;
                read = readWord("null");
                break;
            default:
                value.kind = JsonValue::Number;
                read = readNumber();
        }
        value.end = at;
        // A literal's text is kept, so that a number reads as it was written.
        if (read && value.kind != JsonValue::String && value.kind != JsonValue::Array &&
            value.kind != JsonValue::Object)
            value.text.assign(text, value.begin, value.end - value.begin);
        return read;
    }

    bool readObject(JsonValue& value, std::size_t depth) {
        if (depth == maxDepth) return fail("values nested too deep");
        value.kind = JsonValue::Object;
        ++at;
        skipBlanks();
        if (take('}')) return true;
        for (;;) {
            skipBlanks();
            if (at == text.size() || text[at] != '"') return fail("expected a key");
            value.keys.emplace_back();
            if (!readString(value.keys.back())) return false;
            skipBlanks();
            if (!take(':')) return fail("expected ':'");
            skipBlanks();
            value.items.emplace_back();
            if (!readValue(value.items.back(), depth + 1)) return false;
            skipBlanks();
            if (take('}')) return true;
            if (!take(',')) return fail("expected ',' or '}'");
        }
    }

    bool readArray(JsonValue& value, std::size_t depth) {
        if (depth == maxDepth) return fail("values nested too deep");
        value.kind = JsonValue::Array;
        ++at;
        skipBlanks();
        if (take(']')) return true;
        for (;;) {
            skipBlanks();
            value.items.emplace_back();
            if (!readValue(value.items.back(), depth + 1)) return false;
            skipBlanks();
            if (take(']')) return true;
            if (!take(',')) return fail("expected ',' or ']'");
        }
    }

    bool digits() {
        const std::size_t first = at;
        while (at != text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        return at != first;
    }

    bool readNumber() {
        take('-');
        if (take('0')) {
            if (at != text.size() && text[at] >= '0' && text[at] <= '9')
                return fail("a number with a leading zero");
        } else if (!digits()) {
            return fail("not a JSON value");
        }
        if (take('.') && !digits()) return fail("no digits after the decimal point");
        if (take('e') || take('E')) {
            if (!take('+')) take('-');
            if (!digits()) return fail("no digits in the exponent");
        }
        return true;
    }

    bool hex4(std::uint32_t& code) {
        code = 0;
        for (int i = 0; i != 4; ++i, ++at) {
            if (at == text.size()) return fail("a \\u escape without four hex digits");
            const char c = text[at];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0) return fail("a \\u escape without four hex digits");
            code = code << 4 | static_cast<std::uint32_t>(digit);
        }
        return true;
    }

    static void appendUtf8(std::string& out, std::uint32_t code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | code >> 6);
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | code >> 12);
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | code >> 18);
            out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    bool readEscape(std::string& out) {
        if (at == text.size()) return fail("a string without its closing quote");
        const char c = text[at++];
        switch (c) {
            case '"':
            case '\\':
            case '/':
                out += c;
                return true;
            case 'b':
                out += '\b';
                return true;
            case 'f':
                out += '\f';
                return true;
            case 'n':
                out += '\n';
                return true;
            case 'r':
                out += '\r';
                return true;
            case 't':
                out += '\t';
                return true;
            case 'u':
                break;
            default:
                --at;
                return fail("an unknown escape in a string");
        }
        std::uint32_t code = 0;
        if (!hex4(code)) return false;
        if (code >= 0xD800 && code < 0xDC00 && text.compare(at, 2, "\\u") == 0) {
            const std::size_t second = at;
            at += 2;
            std::uint32_t low = 0;
            if (!hex4(low)) return false;
            if (low >= 0xDC00 && low < 0xE000)
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            else
                at = second;  // a lone high surrogate, then another escape
        }
        // A lone surrogate has no UTF-8: U+FFFD stands for it.
        appendUtf8(out, code >= 0xD800 && code < 0xE000 ? 0xFFFD : code);
        return true;
    }

    bool readString(std::string& out) {
        ++at;  // the opening quote
        std::size_t run = at;
        for (;;) {
            if (at == text.size()) return fail("a string without its closing quote");
            const unsigned char c = static_cast<unsigned char>(text[at]);
            if (c == '"' || c == '\\') {
                out.append(text, run, at - run);
                ++at;
                if (c == '"') return true;
                if (!readEscape(out)) return false;
                run = at;
            } else if (c < 0x20) {
                return fail("a control character in a string");
            } else {
                ++at;
            }
        }
    }
};

const std::string none;

}  // namespace

const JsonValue* JsonValue::Find(const char* key) const {
    if (kind != Object) return nullptr;
    for (std::size_t i = 0; i != keys.size(); ++i)
        if (keys[i] == key) return &items[i];
    return nullptr;
}

const std::string& JsonValue::StringOf(const char* key) const {
    const JsonValue* value = Find(key);
    return value != nullptr && value->kind == String ? value->text : none;
}

bool ReadJson(const std::string& text, JsonValue& value, std::string& problem) {
    value = JsonValue();
    return Reader(text).Read(value, problem);
}

}  // namespace Symbolize
}  // namespace Quorbel
