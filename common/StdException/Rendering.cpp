// The text report with its stream-insertion operator, and the XML report.
// Numbers are written by WriteDecimal, so that no locale changes a report.

#include "StdException"
#include "Guard"
#include "Numbers.h"
#include "Record.h"
#include "TextStream.h"

#include <cstddef>
#include <ostream>
#include <string>

namespace Quorbel {

namespace {

const char closingTag[] = "</Exception>";

}  // namespace

std::string StdException::AsString() const {
    TextStream text;
    QUORBEL_GUARD("", "", [&] {
        text << DisplayValue() << "\r\n";
        const std::size_t newest = callTrace->size() - 1;
        ForEachShownEntry(
            *callTrace, detailLevel, [&](const CallTraceEntry& entry, std::size_t position) {
                if (detailLevel == FullDetail) text << "[" << Decimal{newest - position} << "] ";
                text << "\tFile : " << entry.file << "\r\n\tLine : " << Decimal{entry.line}
                     << "\r\n\tFunction signature : " << entry.funcsig
                     << "\r\n\tParameters : " << entry.parameters
                     << "\r\n\tDeveloper Comment : " << entry.comment << "\r\n";
            });
        if (previousException.get() != nullptr) {
            // The previous report is copied once, into room made for it.
            text << "Translated from a previous exception:\r\n{\r\n";
            const std::string previous = previousException->AsString();
            const char closing[] = "}\r\n";
            text.Reserve(previous.size() + sizeof closing);
            text << previous << closing;
        }
    });
    return text.Take();
}

std::string StdException::AsXML() const {
    TextStream xml;
    QUORBEL_GUARD("", "", [&] {
        xml << "<Exception><Name>" << TypeName() << "</Name><Value>" << DisplayValue()
            << "</Value><CallTrace>";
        ForEachShownEntry(
            *callTrace, detailLevel, [&](const CallTraceEntry& entry, std::size_t position) {
                xml << "<CallTraceEntry position=\"" << Decimal{position} << "\"><File>"
                    << entry.file << "</File><Line>" << Decimal{entry.line} << "</Line><FuncSig>"
                    << entry.funcsig << "</FuncSig><Params>" << entry.parameters
                    << "</Params><Comment>" << entry.comment << "</Comment></CallTraceEntry>";
            });
        xml << "</CallTrace>";
        if (previousException.get() != nullptr) {
            // The previous report is copied once, into room made for it.
            xml << "<PreviousException>";
            const std::string previous = previousException->AsXML();
            const char closing[] = "</PreviousException>";
            xml.Reserve(previous.size() + sizeof closing + sizeof closingTag);
            xml << previous << closing;
        }
        xml << closingTag;
    });
    return xml.Take();
}

std::string BadHandlerException::AsString() const {
    std::string text;
    QUORBEL_GUARD("", "", [&] {
        // Built part by part, in this order, so that when more than one part
        // fails it is always the first one's failure that comes out.
        text = StdException::AsString();
        text += "Handler Exception:\r\n" + handlerException->AsString();
        text += "Original Exception:\r\n" + originalException->AsString();
    });
    return text;
}

std::string BadHandlerException::AsXML() const {
    std::string xml;
    QUORBEL_GUARD("", "", [&] {
        xml = StdException::AsXML();
        std::string held = "<HandlerException>" + handlerException->AsXML();
        held += "</HandlerException><OriginalException>" + originalException->AsXML();
        held += "</OriginalException>";
        // The held exceptions become the last children of this exception's
        // own element, which the base layout always closes last.
        xml.insert(xml.size() - (sizeof closingTag - 1), held);
    });
    return xml;
}

std::ostream& operator<<(std::ostream& os, const StdException& e) {
    return QUORBEL_GUARD("", "No parameter info here.",
                         [&]() -> std::ostream& { return os << e.AsString(); });
}

}  // namespace Quorbel
