// Demangle.h: the readable name of a mangled C++ name, for both libraries.
// Internal; not installed.

#ifndef QUORBEL_DEMANGLE_H
#define QUORBEL_DEMANGLE_H

#include <cstdlib>
#include <string>

#if defined(__GNUG__)
#    include <cxxabi.h>
#endif

namespace Quorbel {

// Demangled: the readable form of the mangled name, or empty where it is not
// one. The runtime's buffer is released however the copy ends.
inline std::string Demangled(const char* mangled) {
#if defined(__GNUG__)
    struct Buffer {
        char* text;
        explicit Buffer(char* owned) : text(owned) {}
        Buffer(const Buffer&) = delete;
        Buffer& operator=(const Buffer&) = delete;
        ~Buffer() { std::free(text); }
    };
    int status = 0;
    const Buffer readable{abi::__cxa_demangle(mangled, nullptr, nullptr, &status)};
    if (status == 0 && readable.text != nullptr) return readable.text;
#else
    (void)mangled;
#endif
    return std::string();
}

}  // namespace Quorbel

#endif
