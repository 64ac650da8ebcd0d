// The reports over records that libFuzzer's input shapes: every kind, texts of
// any bytes, extra entries, fields of every kind under any keys, any detail
// level, previous and held exceptions. AsJSON must parse with nlohmann's JSON
// and read back to what the record holds, AsEscapedXML must be well-formed for
// libxml2 and hold the same; AsString, AsXML and AsReadable must survive it.
// A failed check aborts, and libFuzzer keeps the input.

#include <StdException/BasicException>
#include <StdException/Reports>

#include <fuzzer/FuzzedDataProvider.h>
#include <libxml/parser.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

using namespace Quorbel;
using Json = nlohmann::ordered_json;  // keeps the fields in their order

#define CHECK(condition) ((condition) ? void() : Fail(#condition, __LINE__))

namespace {

struct FuzzException : BasicException<FuzzException> {
    using BasicException::BasicException;
};

[[noreturn]] void Fail(const char* condition, int line) {
    std::fprintf(stderr, "ReportsFuzz.cpp:%d: check failed: %s\n", line, condition);
    std::abort();
}

// What a strict parser reads from text: a valid UTF-8 sequence as its character,
// any other byte as the character of its value, and in XML U+FFFD for what it
// cannot hold (controls other than tab, LF and CR; U+FFFE, U+FFFF).
std::string Decoded(const std::string& text, bool xml) {
    std::string out;
    for (std::size_t i = 0, n; i < text.size(); i += n) {
        const unsigned char c = text[i];
        n = c < 0x80 ? 1 : c < 0xC2 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF5 ? 4 : 0;
        std::uint32_t cp = n == 1 ? c : c & (0xFF >> (n + 1));
        for (std::size_t k = 1; k < n; ++k)
            if (i + k < text.size() && (text[i + k] & 0xC0) == 0x80)
                cp = cp << 6 | (text[i + k] & 0x3F);
            else
                n = 0;
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (n != 1 && (n == 0 || cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp < 0xE000)))
            cp = c, n = 1;
        if (xml && ((cp < 0x20 && cp != 9 && cp != 10 && cp != 13) || cp == 0xFFFE || cp == 0xFFFF))
            cp = 0xFFFD;
        const int length = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        const unsigned lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
        out += char(length == 1 ? cp : lead[length] | cp >> 6 * (length - 1));
        for (int j = length - 2; j >= 0; --j) out += char(0x80 | (cp >> 6 * j & 0x3F));
    }
    return out;
}

// How many entries e's reports show, origin first.
int Shown(const StdException& e) {
    const DetailLevel level = e.GetDetailLevel();
    return level == FullDetail ? int(e.GetCallTrace().size()) : level == MediumDetail;
}

std::string NonFinite(double x) { return std::isnan(x) ? "NaN" : x < 0 ? "-Infinity" : "Infinity"; }

// What e's JSON report reads back to.
Json Expected(const StdException& e) {
    Json j = {{"name", Decoded(e.TypeName(), false)},
              {"value", Decoded(e.DisplayValue(), false)},
              {"callTrace", Json::array()}};
    auto entry = e.GetCallTrace().rbegin();
    for (int position = 0; position < Shown(e); ++position, ++entry)
        j["callTrace"].push_back(Json::object({{"position", position},
                                               {"file", Decoded(entry->file, false)},
                                               {"line", entry->line},
                                               {"funcsig", Decoded(entry->funcsig, false)},
                                               {"parameters", Decoded(entry->parameters, false)},
                                               {"comment", Decoded(entry->comment, false)}}));
    e.ForEachField([&](const std::string& key, const FieldValue& v) {
        const double x = v.GetReal();
        const Json values[] = {Decoded(v.GetText(), false), v.GetInteger(), v.GetUnsigned(),
                               std::isfinite(x) ? Json(x) : Json(NonFinite(x)), v.GetBoolean()};
        j["fields"][Decoded(key, false)] = values[v.GetKind()];  // a key read twice: the last
    });
    if (const StdException* previous = e.GetPreviousException())
        j["previousException"] = Expected(*previous);
    if (const auto* bad = dynamic_cast<const BadHandlerException*>(&e)) {
        j["handlerException"] = Expected(*bad->GetHandlerException());
        j["originalException"] = Expected(*bad->GetOriginalException());
    }
    return j;
}

// The text of node, which must be the element name, or of its attribute.
std::string Text(xmlNode* node, const char* name, const char* attribute = nullptr) {
    CHECK(node != nullptr && xmlStrEqual(node->name, BAD_CAST name));
    xmlChar* text = attribute ? xmlGetProp(node, BAD_CAST attribute) : xmlNodeGetContent(node);
    CHECK(text != nullptr);
    const std::string out = reinterpret_cast<const char*>(text);
    xmlFree(text);
    return out;
}

// Checks node, a <Field> of an escaped XML report, against the field key:
// numbers are read back by strtod and must be the same double.
void CheckField(xmlNode* node, const std::string& key, const FieldValue& v) {
    const char* types[] = {"text", "integer", "unsigned", "real", "boolean"};
    CHECK(Text(node, "Field", "name") == Decoded(key, true));
    CHECK(Text(node, "Field", "type") == types[v.GetKind()]);
    const std::string text = Text(node, "Field");
    const std::string values[] = {Decoded(v.GetText(), true), std::to_string(v.GetInteger()),
                                  std::to_string(v.GetUnsigned()), "",
                                  v.GetBoolean() ? "true" : "false"};
    const double x = v.GetReal(), read = std::strtod(text.c_str(), nullptr);
    if (v.GetKind() != FieldValue::Real)
        CHECK(text == values[v.GetKind()]);
    else if (!std::isfinite(x))
        CHECK(text == NonFinite(x));
    else
        CHECK(std::memcmp(&read, &x, sizeof x) == 0 && text.find_first_of(".e") != text.npos);
}

// Checks node, an <Exception> of an escaped XML report, against e.
void CheckXML(xmlNode* node, const StdException& e) {
    CHECK(xmlStrEqual(node->name, BAD_CAST "Exception"));
    xmlNode* child = xmlFirstElementChild(node);
    CHECK(Text(child, "Name") == Decoded(e.TypeName(), true));
    CHECK(Text(child = xmlNextElementSibling(child), "Value") == Decoded(e.DisplayValue(), true));
    Text(child = xmlNextElementSibling(child), "CallTrace");
    xmlNode* place = xmlFirstElementChild(child);
    auto entry = e.GetCallTrace().rbegin();
    for (int position = 0; position < Shown(e); ++position, ++entry) {
        CHECK(Text(place, "CallTraceEntry", "position") == std::to_string(position));
        const char* names[] = {"File", "Line", "FuncSig", "Params", "Comment"};
        const std::string values[] = {entry->file, std::to_string(entry->line), entry->funcsig,
                                      entry->parameters, entry->comment};
        xmlNode* value = xmlFirstElementChild(place);
        for (int k = 0; k < 5; ++k, value = xmlNextElementSibling(value))
            CHECK(Text(value, names[k]) == Decoded(values[k], true));
        CHECK(value == nullptr);
        place = xmlNextElementSibling(place);
    }
    CHECK(place == nullptr);
    child = xmlNextElementSibling(child);
    std::vector<std::pair<std::string, FieldValue>> fields;
    e.ForEachField([&](const std::string& key, const FieldValue& v) {
        fields.push_back({key, v});
    });
    if (!fields.empty()) {
        Text(child, "Fields");
        place = xmlFirstElementChild(child);
        for (const auto& field : fields) {
            CheckField(place, field.first, field.second);
            place = xmlNextElementSibling(place);
        }
        CHECK(place == nullptr);
        child = xmlNextElementSibling(child);
    }
    const auto* bad = dynamic_cast<const BadHandlerException*>(&e);
    const std::pair<const char*, const StdException*> below[] = {
        {"PreviousException", e.GetPreviousException()},
        {"HandlerException", bad ? bad->GetHandlerException() : nullptr},
        {"OriginalException", bad ? bad->GetOriginalException() : nullptr}};
    for (const auto& held : below)
        if (held.second != nullptr) {
            Text(child, held.first);
            CheckXML(xmlFirstElementChild(child), *held.second);
            child = xmlNextElementSibling(child);
        }
    CHECK(child == nullptr);
}

// A record of any kind, with up to depth levels of previous and held ones.
std::unique_ptr<StdException> Build(FuzzedDataProvider& in, int depth) {
    auto text = [&] { return in.ConsumeRandomLengthString(64); };
    const CallTraceEntry at{text(), in.ConsumeIntegral<std::uint32_t>(), text(), text(), text()};
    const std::string message = text();
    std::unique_ptr<StdException> e;
    switch (in.ConsumeIntegralInRange(0, depth > 0 ? 3 : 2)) {
        case 0:
            e.reset(new FuzzException(at.file, at.line, at.funcsig, at.parameters, at.comment,
                                      message));
            break;
        case 1:
            e.reset(
                new UnexpectedException(at.file, at.line, at.funcsig, at.parameters, at.comment));
            break;
        case 2:
            e.reset(new CPPException(at.file, at.line, at.funcsig, at.parameters, at.comment,
                                     std::runtime_error(message)));
            break;
        default: {
            const std::unique_ptr<StdException> original = Build(in, depth - 1);
            const std::unique_ptr<StdException> handler = Build(in, depth - 1);
            e.reset(new BadHandlerException(at.file, at.line, at.funcsig, at.parameters, at.comment,
                                            original.get(), handler.get()));
        }
    }
    for (int n = in.ConsumeIntegralInRange(0, 3); n > 0; --n) {
        const CallTraceEntry more{text(), in.ConsumeIntegral<std::uint32_t>(), text(), text(),
                                  text()};
        e->AddToCallTrace(more.file, more.line, more.funcsig, more.parameters, more.comment);
    }
    for (int n = in.ConsumeIntegralInRange(0, 8); n > 0; --n) {
        const std::string key = text();
        const std::uint64_t bits = in.ConsumeIntegral<std::uint64_t>();
        double real;
        float single;
        std::memcpy(&real, &bits, sizeof real);  // denormals, infinities and NaNs among them
        std::memcpy(&single, &bits, sizeof single);
        const FieldValue values[] = {text(), char(bits), std::int64_t(bits), bits,
                                     real,   single,     (bits & 1) != 0,    std::int16_t(bits)};
        e->SetField(key, values[in.ConsumeIntegralInRange(0, 7)]);
    }
    e->SetDetailLevel(DetailLevel(in.ConsumeIntegralInRange(-1, 3)));
    if (depth > 0 && in.ConsumeBool()) e->AddPreviousException(Build(in, depth - 1).get());
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    StdException::SetDefaultDetailLevel(DetailLevel(in.ConsumeIntegralInRange(-1, 3)));
    const std::unique_ptr<StdException> e = Build(in, 2);

    const std::string json = AsJSON(*e);
    CHECK(json.find_first_of("\r\n") == json.npos);
    const Json parsed = Json::parse(json, nullptr, false);  // invalid UTF-8 fails too
    CHECK(!parsed.is_discarded());
    CHECK(parsed.dump() == Expected(*e).dump());  // numbers of the same kinds and values

    const std::string xml = AsEscapedXML(*e);
    CHECK(xml.find_first_of("\r\n") == xml.npos);
    xmlDoc* doc = xmlReadMemory(xml.data(), int(xml.size()), nullptr, "UTF-8", XML_PARSE_NONET);
    CHECK(doc != nullptr);
    CheckXML(xmlDocGetRootElement(doc), *e);
    xmlFreeDoc(doc);

    CHECK(e->AsString().find(e->DisplayValue()) != std::string::npos);
    CHECK(e->AsXML().find(e->DisplayValue()) != std::string::npos);
    const std::string readable = AsReadable(*e);
    CHECK(!readable.empty() && readable.back() == '\n');
    OpenTelemetryAttributes(*e);
    AsReadable(std::runtime_error(in.ConsumeRemainingBytesAsString()));
    return 0;
}
