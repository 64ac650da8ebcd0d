// CodeView.h: the identity of a PE module's debugging information, as the
// capture DLL reads it from a loaded module and stdexception-symbolize from
// a file. Internal to the capture library and the tool.

#ifndef QUORBEL_THROWSITES_CODEVIEW_H
#define QUORBEL_THROWSITES_CODEVIEW_H

#include "StdException/Numbers.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace Quorbel {
namespace ThrowSites {

// The bytes of a CodeView record that name it: "RSDS", the GUID, the age.
constexpr std::size_t codeViewSize = 24;

// CodeViewId: the GUID and age of the CodeView record at record
// (codeViewSize bytes) in upper-case hexadecimal, the GUID's fields as it is
// written and the age without leading zeros, as symbol servers name a
// module's debugging information; empty when it is no "RSDS" record.
inline std::string CodeViewId(const unsigned char* record) {
    if (std::memcmp(record, "RSDS", 4) != 0) return std::string();
    const unsigned char* guid = record + 4;
    // The first three fields are little-endian numbers, the last eight bytes.
    const unsigned char written[16] = {guid[3],  guid[2],  guid[1],  guid[0], guid[5],  guid[4],
                                       guid[7],  guid[6],  guid[8],  guid[9], guid[10], guid[11],
                                       guid[12], guid[13], guid[14], guid[15]};
    std::string id = HexBytes(written, sizeof written);
    const std::uint32_t age = std::uint32_t(record[20]) | std::uint32_t(record[21]) << 8 |
                              std::uint32_t(record[22]) << 16 | std::uint32_t(record[23]) << 24;
    char text[16];
    id.append(text, WriteHexDigits(text, age));
    for (char& c : id)
        if (c >= 'a' && c <= 'f') c = char(c - 'a' + 'A');
    return id;
}

// IsCodeViewId: whether text is an id as CodeViewId writes them.
inline bool IsCodeViewId(const std::string& text) {
    if (text.size() < 33 || text.size() > 40) return false;
    for (const char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    return true;
}

}  // namespace ThrowSites
}  // namespace Quorbel

#endif
