// The oracle of the reports for tools, shared by their tests and their fuzz
// target: records generated from a source of choices, what their JSON
// report must parse to, and the values that their escaped XML report must
// hold, in order, as the parsers of others (nlohmann's JSON, libxml2) read
// them, and the check of both.

#ifndef STDEXCEPTION_TESTS_REPORTORACLE_H
#define STDEXCEPTION_TESTS_REPORTORACLE_H

#include <StdException/BasicException>
#include <StdException/Reports>

#include <libxml/parser.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace oracle {

using namespace Quorbel;
using Json = nlohmann::ordered_json;  // compares keys in their order

// The oracle: what a parser reads back from field. A valid UTF-8 sequence
// decodes to its code point, any other byte to the code point of its value;
// in XML, controls other than tab, LF and CR and U+FFFE, U+FFFF read as U+FFFD.
inline std::string Decoded(const std::string& field, bool xml) {
    std::string out;
    for (std::size_t i = 0, k; i < field.size(); i += k) {
        const unsigned char c = field[i];
        const int n = c < 0x80 ? 1 : c < 0xC0 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF8 ? 4 : 0;
        std::uint32_t cp = n == 1 ? c : c & (0x7F >> n);
        for (k = 1; int(k) < n && (field[i + k] & 0xC0) == 0x80; ++k)
            cp = cp << 6 | (field[i + k] & 0x3F);
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        // Too short, overlong, above U+10FFFF or a surrogate (D800 to DFFF).
        if (n != 1 && (int(k) != n || cp < least[n] || cp > 0x10FFFF || (cp >> 11) == 0x1B)) {
            cp = c;
            k = 1;
        }
        if (xml && ((cp < 0x20 && cp != 9 && cp != 10 && cp != 13) || cp == 0xFFFE || cp == 0xFFFF))
            cp = 0xFFFD;
        const int length = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        const unsigned lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
        out += char(length == 1 ? cp : lead[length] | cp >> 6 * (length - 1));
        for (int j = length - 2; j >= 0; --j) out += char(0x80 | (cp >> 6 * j & 0x3F));
    }
    return out;
}

// What e's JSON report should parse to.
inline Json Expected(const StdException& e) {
    Json j = {{"name", Decoded(e.TypeName(), false)},
              {"value", Decoded(e.DisplayValue(), false)},
              {"callTrace", Json::array()}};
    const int level = e.GetDetailLevel(), shown = level == 0 ? e.GetCallTrace().size() : level == 1;
    auto entry = e.GetCallTrace().rbegin();  // the origin first
    for (int position = 0; position < shown; ++position, ++entry)
        j["callTrace"].push_back(Json::object({{"position", position},
                                               {"file", Decoded(entry->file, false)},
                                               {"line", entry->line},
                                               {"funcsig", Decoded(entry->funcsig, false)},
                                               {"parameters", Decoded(entry->parameters, false)},
                                               {"comment", Decoded(entry->comment, false)}}));
    e.ForEachField([&](const std::string& key, const FieldValue& v) {
        const double x = v.GetReal();
        const Json real = std::isfinite(x) ? Json(x)
                                           : Json(std::isnan(x) ? "NaN"
                                                  : x < 0       ? "-Infinity"
                                                                : "Infinity");
        const Json values[] = {Decoded(v.GetText(), false), v.GetInteger(), v.GetUnsigned(), real,
                               v.GetBoolean()};
        j["fields"][Decoded(key, false)] = values[v.GetKind()];
    });
    if (const StdException* previous = e.GetPreviousException())
        j["previousException"] = Expected(*previous);
    if (const BadHandlerException* bad = dynamic_cast<const BadHandlerException*>(&e)) {
        j["handlerException"] = Expected(*bad->GetHandlerException());
        j["originalException"] = Expected(*bad->GetOriginalException());
    }
    return j;
}

// The values of a JSON report in order, and the keys of its fields before
// their values, strings as XML reads them.
inline std::vector<std::string> Leaves(const Json& j, std::vector<std::string> out = {},
                                       bool named = false) {
    if (!j.is_structured())
        out.push_back(j.is_string()         ? Decoded(j.get<std::string>(), true)
                      : j.is_number_float() ? FieldText(j.get<double>())
                                            : j.dump());
    else
        for (const auto& item : j.items()) {
            if (named) out.push_back(Decoded(item.key(), true));
            out = Leaves(item.value(), std::move(out), item.key() == "fields");
        }
    return out;
}

// The position and name attributes and the texts of elements without
// children of an XML report, in document order: the leaves of its JSON report.
inline std::vector<std::string> Leaves(xmlNode* node, std::vector<std::string> out = {}) {
    xmlNode* child = xmlFirstElementChild(node);
    const bool leaf = child == nullptr && !xmlStrEqual(node->name, BAD_CAST "CallTrace");
    for (xmlChar* text : {xmlGetProp(node, BAD_CAST "position"), xmlGetProp(node, BAD_CAST "name"),
                          leaf ? xmlNodeGetContent(node) : nullptr})
        if (text != nullptr) {
            out.push_back(reinterpret_cast<const char*>(text));
            xmlFree(text);
        }
    for (; child != nullptr; child = child->next) out = Leaves(child, std::move(out));
    return out;
}

// Both reports for tools of e and the expected JSON report, where they do not
// read back to what e holds, or "": the JSON report must parse (invalid UTF-8 fails too) to its
// Expected, the escaped XML report must be well-formed and hold the same
// leaves, and neither may break a line.
inline std::string Mismatch(const StdException& e) {
    const std::string json = AsJSON(e), xml = AsEscapedXML(e);
    const Json parsed = Json::parse(json, nullptr, false);
    const std::unique_ptr<xmlDoc, void (*)(xmlDoc*)> doc(
        xmlReadMemory(xml.data(), int(xml.size()), nullptr, "UTF-8", XML_PARSE_NONET), xmlFreeDoc);
    const bool same = !parsed.is_discarded() && parsed.dump() == Expected(e).dump() &&
                      doc != nullptr && Leaves(xmlDocGetRootElement(doc.get())) == Leaves(parsed);
    const bool oneLine = (json + xml).find_first_of("\r\n") == std::string::npos;
    return same && oneLine ? "" : json + "\n" + xml + "\nexpected " + Expected(e).dump();
}

// The kind of the generated records of the application.
struct GeneratedException : BasicException<GeneratedException> {
    using BasicException::BasicException;
};

// A record with up to depth levels of previous and held records below it,
// fields of every kind of value only withFields (without them, a record of
// plain texts has an escaped XML report that is its XML report). in gives
// numbers below a bound (Pick), 64 bits (Bits), reals (Real) and texts (Text).
template <class Source>
std::unique_ptr<StdException> Generated(Source& in, int depth, bool withFields) {
    const int levels[] = {0, 1, 2, 7, -1};
    StdException::SetDefaultDetailLevel(DetailLevel(levels[in.Pick(5)]));  // of held clones
    const CallTraceEntry at{in.Text(), std::uint32_t(in.Bits()), in.Text(), in.Text(), in.Text()};
    std::unique_ptr<StdException> e(
        new GeneratedException(at.file, at.line, at.funcsig, at.parameters, at.comment, in.Text()));
    if (depth > 0 && in.Pick(2) != 0)  // holding e and a record like it
        e.reset(new BadHandlerException(at.file, at.line, at.funcsig, at.parameters, at.comment,
                                        Generated(in, depth - 1, withFields).get(), e.get()));
    for (unsigned n = in.Pick(4); n > 0; --n) {
        const CallTraceEntry more{in.Text(), std::uint32_t(in.Bits()), in.Text(), in.Text(),
                                  in.Text()};
        e->AddToCallTrace(more.file, more.line, more.funcsig, more.parameters, more.comment);
    }
    for (unsigned n = withFields ? in.Pick(20) : 0; n > 0; --n) {
        const std::string key = in.Text();
        const std::uint64_t bits = in.Bits();
        const FieldValue values[] = {in.Text(),       std::int64_t(bits), bits,
                                     in.Real(),       float(in.Real()),   bits % 2 == 0,
                                     char(bits >> 8), std::int16_t(bits)};
        // Two keys that read back alike would be one to a JSON parser.
        bool alike = false;
        e->ForEachField([&](const std::string& k, const FieldValue&) {
            alike = alike || (k != key && Decoded(k, false) == Decoded(key, false));
        });
        if (!alike) e->SetField(key, values[in.Pick(8)]);
    }
    e->SetDetailLevel(DetailLevel(levels[in.Pick(5)]));
    if (depth > 0 && in.Pick(2) != 0)
        e->AddPreviousException(Generated(in, depth - 1, withFields).get());
    return e;
}

}  // namespace oracle

#endif
