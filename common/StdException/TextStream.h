// TextStream: the string stream that reports and parameter descriptions are
// written into. Any failure of the stream, running out of memory included,
// raises instead of leaving a silently truncated text.

#ifndef QUORBEL_TEXTSTREAM_H
#define QUORBEL_TEXTSTREAM_H

#include <sstream>

namespace Quorbel {

class TextStream : public std::ostringstream {
public:
    TextStream() { exceptions(std::ios_base::badbit | std::ios_base::failbit | std::ios_base::eofbit); }
};

}  // namespace Quorbel

#endif
