// FrameWriting.h: how the reports for tools write the frames of a throw site,
// one frame at a time, in JSON or in XML. The reports (ToolReports.cpp) write
// whole throw sites with it, stdexception-symbolize the frames it fills in,
// so that a filled-in frame reads as the report would have written it.
// Internal; not installed.

#ifndef QUORBEL_FRAMEWRITING_H
#define QUORBEL_FRAMEWRITING_H

#include "Numbers.h"
#include "TextEncoding.h"
#include "ThrowSite"

#include <cstddef>
#include <string>

namespace Quorbel {

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

inline std::string& operator+=(std::string& out, const Piece& piece) {
    return out.append(piece.text, piece.size);
}

// The fixed text of one rendering around the fields of a frame, in the order
// in which they are written; where it depends on whether the frame was
// inlined, [0] is for a frame that was not, [1] for one that was. The module's
// offset and build ID come after the module (JSON) or after the address and
// inlined among the attributes (XML), where idsFirst is set.
struct FrameLayout {
    Piece separator;  // before each frame but the first
    Piece open;       // before the address
    Piece afterAddress[2];
    Piece afterModule;
    Piece afterOffset;
    Piece afterBuildId;
    Piece afterFunction;
    Piece afterFile;
    Piece close[2];  // after the line
    bool idsFirst;
};

inline constexpr FrameLayout jsonFrame = {P(","),
                                          P("{\"address\":\""),
                                          {P("\",\"module\":\""), P("\",\"module\":\"")},
                                          P("\",\"offset\":\""),
                                          P("\",\"buildId\":\""),
                                          P("\",\"function\":\""),
                                          P("\",\"file\":\""),
                                          P("\",\"line\":"),
                                          {P(",\"inlined\":false}"), P(",\"inlined\":true}")},
                                          false};

inline constexpr FrameLayout xmlFrame = {
    P(""),
    P("<Frame address=\""),
    {P("\" inlined=\"false\" offset=\""), P("\" inlined=\"true\" offset=\"")},
    P("</Module><Function>"),
    P("\" buildId=\""),
    P("\"><Module>"),
    P("</Function><File>"),
    P("</File><Line>"),
    {P("</Line></Frame>"), P("</Line></Frame>")},
    true};

// Writes one frame in layout, with the fields in Markup, without a separator.
template <class Markup>
void WriteFrame(std::string& out, const NativeFrame& frame, const FrameLayout& layout) {
    out += layout.open;
    AppendHex(out, frame.address);
    out += layout.afterAddress[frame.inlined];
    if (!layout.idsFirst) {
        AppendText<Markup>(out, frame.module);
        out += layout.afterModule;
    }
    AppendHex(out, frame.offset);
    out += layout.afterOffset;
    out += frame.buildId;  // hex digits, the same in every markup
    out += layout.afterBuildId;
    if (layout.idsFirst) {
        AppendText<Markup>(out, frame.module);
        out += layout.afterModule;
    }
    AppendText<Markup>(out, frame.function);
    out += layout.afterFunction;
    AppendText<Markup>(out, frame.file);
    out += layout.afterFile;
    AppendDecimal(out, frame.line);
    out += layout.close[frame.inlined];
}

// Writes frames from begin to end in layout, the separator between them.
template <class Markup>
void WriteFrames(std::string& out, const NativeFrame* begin, const NativeFrame* end,
                 const FrameLayout& layout) {
    for (const NativeFrame* frame = begin; frame != end; ++frame) {
        if (frame != begin) out += layout.separator;
        WriteFrame<Markup>(out, *frame, layout);
    }
}

}  // namespace Quorbel

#endif
