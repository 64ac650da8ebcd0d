// The readable report: what a person reads first about an exception, with LF
// line ends, written as ReadableWriting.h writes it.

#include "StdException"
#include "Guard"
#include "ReadableWriting.h"
#include "Record.h"
#include "Reports"
#include "ThrowSite"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace Quorbel {

namespace {

// What the readable report of a record shows.
struct ReadableOfRecord {
    using Entry = CallTraceEntry;
    static std::string TypeName(const StdException& e) { return e.TypeName(); }
    static std::string DisplayValue(const StdException& e) { return e.DisplayValue(); }
    static std::string ThrownType(const StdException& e) { return GetThrownType(e); }
    static std::vector<NativeFrame> Site(const StdException& e) { return GetThrowSite(e); }
    template <class Write>
    static void ForEachField(const StdException& e, Write write) {
        if (const RecordExtras::Fields* fields = FieldsOf(e))
            for (const std::pair<std::string, FieldValue>& field : *fields) {
                const bool isText = field.second.GetKind() == FieldValue::Text;
                write(field.first, isText ? field.second.GetText() : FieldText(field.second),
                      isText);
            }
    }
    static std::vector<std::reference_wrapper<const CallTraceEntry>> Entries(
        const StdException& e) {
        std::vector<std::reference_wrapper<const CallTraceEntry>> entries;
        ForEachShownEntry(
            e.GetCallTrace(), e.GetDetailLevel(),
            [&](const CallTraceEntry& entry, std::size_t) { entries.push_back(std::cref(entry)); });
        return entries;
    }
    template <class Write>
    static void ForEachNested(const StdException& e, Write write) {
        Quorbel::ForEachNested(e, write);
    }
};

}  // namespace

std::string AsReadable(const StdException& e) {
    return QUORBEL_GUARD("", "", [&] {
        std::string text;
        WriteReadable<ReadableOfRecord>(text, e, "");
        return text;
    });
}

std::string AsReadable(const std::exception& e) {
    return QUORBEL_GUARD("", "", [&] {
        std::string text = ReadableTypeName(typeid(e)) + ": ";
        AppendLines(text, e.what(), "  ");
        text += '\n';
        WriteReadableFrames(text, ThrowSiteOf(dynamic_cast<const void*>(&e)), "", "");
        return text;
    });
}

}  // namespace Quorbel
