// Numbers.h: the one way the libraries write numbers as text, whatever the
// locale: integers in decimal, reals as the shortest decimal that reads back
// exactly, addresses and bytes in lower-case hexadecimal. Everything is
// written into a caller's buffer and returns the end; nothing allocates.
// Internal to the libraries; not installed.

#ifndef QUORBEL_NUMBERS_H
#define QUORBEL_NUMBERS_H

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>

namespace Quorbel {

// The digits of hexadecimal text.
inline constexpr char hexDigits[] = "0123456789abcdef";

// The most characters that WriteReal writes.
inline constexpr std::size_t maxRealText = 25;

// WriteDecimal: n in decimal at out; returns the end (20 characters at most).
inline char* WriteDecimal(char* out, std::uint64_t n) {
    return std::to_chars(out, out + 20, n).ptr;
}

// WriteDecimal: n in decimal with its sign at out; returns the end.
inline char* WriteDecimal(char* out, std::int64_t n) { return std::to_chars(out, out + 20, n).ptr; }

// WriteHexDigits: n's hexadecimal digits, without leading zeros, at out;
// returns the end (16 characters at most).
inline char* WriteHexDigits(char* out, std::uint64_t n) {
    return std::to_chars(out, out + 16, n, 16).ptr;
}

// WriteHex: n as "0x" and its hexadecimal digits at out; returns the end.
inline char* WriteHex(char* out, std::uintptr_t n) {
    *out++ = '0';
    *out++ = 'x';
    return WriteHexDigits(out, n);
}

// WriteReal: x, finite, as the shortest decimal that reads back as x, always
// with a point or an exponent so that it reads back as a floating-point
// number ("1.0", not "1"): positional when its decimal exponent is from -4 to
// 14, else scientific with a signed exponent of at least two digits ("1e+15",
// "1.5e-07"), as JSON libraries commonly write numbers; returns the end, at
// most maxRealText characters on.
inline char* WriteReal(char* out, double x) {
    // Most numbers that people set have a few decimals, and std::to_chars
    // costs more than the rest of a field (docs/benchmarks.md). The least
    // number d of decimals for which the nearest integer m to x * 10^d reads
    // back as x (m / 10^d, exact operands and one rounding, equals x) is what
    // std::to_chars finds too, as long as x * 10^d stays below 2^50, where m
    // is exact and no two integers come that near x * 10^d.
    const double magnitude = x < 0 ? -x : x;
    if (magnitude >= 1e-4 && magnitude < 1e15) {
        double scale = 1;  // 10^d, exact
        for (int d = 0; magnitude * scale < 0x1p50; ++d, scale *= 10) {
            const double m = std::nearbyint(magnitude * scale);
            if (m / scale != magnitude) continue;
            if (x < 0) *out++ = '-';
            char digits[20];
            char* const last = WriteDecimal(digits, static_cast<std::uint64_t>(m));
            const int k = static_cast<int>(last - digits);  // digits, d of them after the point
            if (k <= d) {                                   // 0.[0...]digits
                *out++ = '0';
                *out++ = '.';
                return std::copy(digits, last, std::fill_n(out, d - k, '0'));
            }
            out = std::copy(digits, last - d, out);
            *out++ = '.';
            if (d != 0) return std::copy(last - d, last, out);
            *out++ = '0';
            return out;
        }
    }
    // The shortest digits and their exponent: [-]d[.ddd]e(+|-)dd.
    char buffer[32];
    const char* const end =
        std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific).ptr;
    const char* p = buffer;
    if (*p == '-') *out++ = *p++;
    const char* const e = std::find(p, end, 'e');
    char digits[20];
    digits[0] = *p;
    char* const last = std::copy(p + 2 > e ? e : p + 2, e, digits + 1);
    int exponent = 0;
    std::from_chars(e + (e[1] == '+' ? 2 : 1), end, exponent);
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
        out = WriteDecimal(out, static_cast<std::uint64_t>(exponent < 0 ? -exponent : exponent));
    }
    return out;
}

// AppendDecimal: n in decimal at the end of out.
inline void AppendDecimal(std::string& out, std::uint64_t n) {
    char text[20];
    out.append(text, WriteDecimal(text, n));
}

// AppendHex: n as "0x" and its hexadecimal digits at the end of out.
inline void AppendHex(std::string& out, std::uintptr_t n) {
    char text[2 + 2 * sizeof n];
    out.append(text, WriteHex(text, n));
}

// HexBytes: the bytes at bits, two hexadecimal digits each.
inline std::string HexBytes(const unsigned char* bits, std::size_t length) {
    std::string text(2 * length, '0');
    for (std::size_t i = 0; i != length; ++i) {
        text[2 * i] = hexDigits[bits[i] >> 4];
        text[2 * i + 1] = hexDigits[bits[i] & 15];
    }
    return text;
}

// Decimal: a number that a stream writes in decimal through WriteDecimal,
// never through the stream's locale, which may group its digits.
struct Decimal {
    std::uint64_t value;
};

inline std::ostream& operator<<(std::ostream& os, Decimal n) {
    char text[20];
    return os.write(text, WriteDecimal(text, n.value) - text);
}

}  // namespace Quorbel

#endif
