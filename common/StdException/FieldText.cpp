// A field's value as text: the one way every report and strategy writes it.

#include "StdException"
#include "Numbers.h"
#include "Record.h"
#include "Reports"

#include <cmath>
#include <cstdint>
#include <string>

namespace Quorbel {

// Writes a value other than text at out and returns the end, at most 25
// characters on: integers exact, finite reals as WriteReal writes them, the
// others as NaN, Infinity or -Infinity, booleans as true or false.
char* WriteScalar(char* out, const FieldValue& value) {
    const auto put = [&](const char* text) {
        while (*text != 0) *out++ = *text++;
        return out;
    };
    switch (value.GetKind()) {
        case FieldValue::Integer:
            return WriteDecimal(out, value.GetInteger());
        case FieldValue::Unsigned:
            return WriteDecimal(out, value.GetUnsigned());
        case FieldValue::Real: {
            const double x = value.GetReal();
            if (std::isfinite(x)) return WriteReal(out, x);
            return put(std::isnan(x) ? "NaN" : x < 0 ? "-Infinity" : "Infinity");
        }
        case FieldValue::Boolean:
            return put(value.GetBoolean() ? "true" : "false");
        case FieldValue::Text:
            break;
    }
    return out;
}

std::string FieldText(const FieldValue& value) {
    if (value.GetKind() == FieldValue::Text) return value.GetText();
    char text[32];
    return std::string(text, WriteScalar(text, value));
}

}  // namespace Quorbel
