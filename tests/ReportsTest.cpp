// The reports for tools, read back by parsers written elsewhere (nlohmann's
// JSON, libxml2): generated exceptions whose fields hold every kind of byte,
// at every detail level, with chains and nested BadHandlerExceptions. (Whole
// reports of both kinds are the demo's expected outputs full-escaped.out and
// medium-json.out; the stream strategy's are in strategies.txt.)

#include <StdException/Reports>

#include <libxml/parser.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <random>

#include "Probes.h"

using namespace Quorbel;
using namespace probes;
using Json = nlohmann::ordered_json;  // compares keys in their order
using namespace std::string_literals;

namespace {

// The oracle: what a parser reads back from field. A valid UTF-8 sequence
// decodes to its code point, any other byte to the code point of its value;
// in XML, controls other than tab, LF and CR and U+FFFE, U+FFFF read as U+FFFD.
std::string Decoded(const std::string& field, bool xml) {
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
Json Expected(const StdException& e) {
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
    if (const StdException* previous = e.GetPreviousException())
        j["previousException"] = Expected(*previous);
    if (const BadHandlerException* bad = dynamic_cast<const BadHandlerException*>(&e)) {
        j["handlerException"] = Expected(*bad->GetHandlerException());
        j["originalException"] = Expected(*bad->GetOriginalException());
    }
    return j;
}

// The values of a JSON report in order, strings as XML reads them.
std::vector<std::string> Leaves(const Json& j, std::vector<std::string> out = {}) {
    if (!j.is_structured())
        out.push_back(j.is_string() ? Decoded(j.get<std::string>(), true) : j.dump());
    else
        for (const Json& value : j) out = Leaves(value, std::move(out));
    return out;
}

// The position attributes and the texts of elements without children of an
// XML report, in document order: the values of its JSON report.
std::vector<std::string> Leaves(xmlNode* node, std::vector<std::string> out = {}) {
    xmlNode* child = xmlFirstElementChild(node);
    const bool leaf = child == nullptr && !xmlStrEqual(node->name, BAD_CAST "CallTrace");
    for (xmlChar* text :
         {xmlGetProp(node, BAD_CAST "position"), leaf ? xmlNodeGetContent(node) : nullptr})
        if (text != nullptr) {
            out.push_back(reinterpret_cast<const char*>(text));
            xmlFree(text);
        }
    for (; child != nullptr; child = child->next) out = Leaves(child, std::move(out));
    return out;
}

// Fields are slices of these bytes: markup, controls, NUL, valid UTF-8 of one
// to four bytes (U+FFFE and U+10FFFF among them) and invalid sequences of every
// sort; a slice may cut a sequence short or start inside one. Or of plain ones.
const std::string kPlain = "int Settings::Read(size_t) = 42; [a.src] ok";
const std::string kBytes =
    "<>&\"'\\ ]]> \r\n\t\x01\x1f\x7f \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"
    " \xEF\xBF\xBE \xF4\x8F\xBF\xBF \xC0\x80 \xC1\xBF \xE0\x80\x80"
    " \xF0\x80\x80\x80 \xED\xA0\x80 \xF4\x90\x80\x80 \xF5\xF8\xFF\0"s;

// An exception with up to `depth` levels of previous and held exceptions below it.
std::unique_ptr<StdException> Generated(std::mt19937& rng, int depth, bool plain) {
    auto field = [&] {
        const std::string& bytes = plain ? kPlain : kBytes;
        std::string s;
        for (int n = rng() % 5; n > 0; --n) s += bytes.substr(rng() % bytes.size(), rng() % 6);
        return s;
    };
    const int levels[] = {0, 1, 2, 7};
    StdException::SetDefaultDetailLevel(DetailLevel(levels[rng() % 4]));  // of held clones
    std::unique_ptr<StdException> e(
        new AppException(field(), rng(), field(), field(), field(), field()));
    if (depth > 0 && rng() % 2)  // holding e and an exception like it
        e.reset(new BadHandlerException(field(), rng(), field(), field(), field(),
                                        Generated(rng, depth - 1, plain).get(), e.get()));
    for (auto n = rng() % 4; n > 0; --n)
        e->AddToCallTrace(field(), rng(), field(), field(), field());
    e->SetDetailLevel(DetailLevel(levels[rng() % 4]));
    if (depth > 0 && rng() % 2) e->AddPreviousException(Generated(rng, depth - 1, plain).get());
    return e;
}

// Each report parses to what the exception holds: the JSON report to its
// fields, the XML report to the same values in the same order; plain fields
// give the XML report byte for byte, elements and nesting included.
TEST(WellFormedReports, EveryGeneratedExceptionParsesToWhatItHolds) {
    ModuleScope module;
    std::mt19937 rng(20);
    for (int i = 0; i < 300; ++i) {
        SCOPED_TRACE(i);
        const std::unique_ptr<StdException> e = Generated(rng, 2, i % 4 == 0);
        const std::string json = AsJSON(*e), xml = AsEscapedXML(*e);
        const Json parsed = Json::parse(json);
        EXPECT_EQ(parsed, Expected(*e));
        EXPECT_EQ(parsed.dump(), json);  // no white space; escapes as nlohmann's own
        const std::unique_ptr<xmlDoc, void (*)(xmlDoc*)> doc(
            xmlReadDoc(BAD_CAST xml.c_str(), nullptr, "UTF-8", 0), xmlFreeDoc);
        ASSERT_NE(doc, nullptr) << xml;
        EXPECT_EQ(Leaves(xmlDocGetRootElement(doc.get())), Leaves(parsed));
        EXPECT_EQ(xml.find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(i % 4 == 0 ? e->AsXML() : xml, xml);
    }
}

}  // namespace
