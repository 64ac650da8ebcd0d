// TextStream: the output stream that reports and parameter descriptions are
// written into. It formats like any new stream, and any failure of the
// stream, running out of memory included, raises instead of leaving a
// silently truncated text. The text grows in a string of its own, which
// Take() hands over without copying it.

#ifndef QUORBEL_TEXTSTREAM_H
#define QUORBEL_TEXTSTREAM_H

#include <cstddef>
#include <ostream>
#include <streambuf>
#include <string>

namespace Quorbel {

// TextBuffer: a stream buffer that gathers what is written in a small chunk
// and moves each full chunk, and each long piece at once, to its string.
class TextBuffer : public std::streambuf {
protected:
    TextBuffer() { setp(chunk, chunk + sizeof chunk); }

    int_type overflow(int_type c) override {
        Flush();
        if (!traits_type::eq_int_type(c, traits_type::eof()))
            text.push_back(traits_type::to_char_type(c));
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        if (n <= epptr() - pptr()) {
            traits_type::copy(pptr(), s, static_cast<std::size_t>(n));
            pbump(static_cast<int>(n));
        } else {
            Flush();
            text.append(s, static_cast<std::size_t>(n));
        }
        return n;
    }
    // Flush: moves the chunk to the string.
    void Flush() {
        text.append(pbase(), static_cast<std::size_t>(pptr() - pbase()));
        setp(chunk, chunk + sizeof chunk);
    }

    std::string text;

private:
    char chunk[256];
};

class TextStream : private TextBuffer, public std::ostream {
public:
    TextStream() : std::ostream(static_cast<TextBuffer*>(this)) {
        exceptions(std::ios_base::badbit | std::ios_base::failbit | std::ios_base::eofbit);
    }
    // Reserve: room for at least `more` further characters.
    void Reserve(std::size_t more) {
        Flush();
        text.reserve(text.size() + more);
    }
    // Take: the text written so far; the stream is left empty.
    std::string Take() {
        Flush();
        std::string taken;
        taken.swap(text);
        return taken;
    }
};

}  // namespace Quorbel

#endif
