// Json.h: a reader of one JSON text (Json.cpp) that keeps where each value
// lies in it, so that stdexception-symbolize can rewrite some values and copy
// every other byte as it came.

#ifndef QUORBEL_SYMBOLIZE_JSON_H
#define QUORBEL_SYMBOLIZE_JSON_H

#include <cstddef>
#include <string>
#include <vector>

namespace Quorbel {
namespace Symbolize {

// One value of a JSON text: its kind, the bytes it spans in the text, a
// string's decoded value (UTF-8) or a literal's text ("12.5", "true"), an
// array's elements, an object's members (keys and values side by side, in
// order).
struct JsonValue {
    enum Kind { Null, Boolean, Number, String, Array, Object };
    Kind kind = Null;
    std::size_t begin = 0;
    std::size_t end = 0;
    std::string text;
    std::vector<JsonValue> items;
    std::vector<std::string> keys;

    // The value of the first member named key; null when there is none or
    // this is no object.
    const JsonValue* Find(const char* key) const;
    // The decoded string of member key; empty when it is no string.
    const std::string& StringOf(const char* key) const;
};

// Reads text as one JSON value (RFC 8259, blanks around it allowed, nesting
// at most 256 deep). On failure returns false and sets problem to what is
// wrong and where: at which byte, counted from 1, or at the end of the line.
bool ReadJson(const std::string& text, JsonValue& value, std::string& problem);

}  // namespace Symbolize
}  // namespace Quorbel

#endif
