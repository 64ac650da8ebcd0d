// The reports for tools, read back by parsers written elsewhere (nlohmann's
// JSON, libxml2): generated exceptions whose fields hold every kind of byte,
// at every detail level, with chains and nested BadHandlerExceptions; a few
// whole reports against the files in tests/expected; the stream strategy.

#include <StdException/Reports>
#include <StdException/Strategies>

#include <libxml/parser.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <random>

#include "Probes.h"

using namespace Quorbel;
using namespace probes;
using Json = nlohmann::ordered_json;  // compares keys in their order

namespace {

// The oracle: what a parser reads back from field. A valid UTF-8 sequence
// decodes to its code point, any other byte to the code point of its value;
// in XML, controls other than tab, LF and CR and U+FFFE, U+FFFF read as U+FFFD.
std::string Decoded(const std::string& field, bool xml) {
    std::string out;
    for (std::size_t i = 0; i < field.size();) {
        const unsigned char c = field[i];
        const int n = c < 0x80 ? 1 : c < 0xC0 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF8 ? 4 : 0;
        std::uint32_t cp = n == 1 ? c : c & (0x7F >> n);
        int k = 1;
        for (; k < n && i + k < field.size() && (field[i + k] & 0xC0) == 0x80; ++k)
            cp = cp << 6 | (field[i + k] & 0x3F);
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (n != 1 &&
            !(n > 1 && k == n && cp >= least[n] && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF)))
            cp = c, k = 1;
        i += k;
        if (xml && ((cp < 0x20 && cp != 9 && cp != 10 && cp != 13) || cp == 0xFFFE || cp == 0xFFFF))
            cp = 0xFFFD;
        const int length = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
        const unsigned lead[] = {0, 0, 0xC0, 0xE0, 0xF0};
        out += char(length == 1 ? cp : lead[length] | cp >> 6 * (length - 1));
        for (int j = length - 2; j >= 0; --j) out += char(0x80 | (cp >> 6 * j & 0x3F));
    }
    return out;
}

// What e's report should parse to, with the keys of JSON or the element names of XML.
Json Expected(const StdException& e, bool xml) {
    const char* const jsonKeys[] = {"name",
                                    "value",
                                    "callTrace",
                                    "position",
                                    "file",
                                    "line",
                                    "funcsig",
                                    "parameters",
                                    "comment",
                                    "previousException",
                                    "handlerException",
                                    "originalException"};
    const char* const xmlKeys[] = {"Name",
                                   "Value",
                                   "CallTrace",
                                   "position",
                                   "File",
                                   "Line",
                                   "FuncSig",
                                   "Params",
                                   "Comment",
                                   "PreviousException",
                                   "HandlerException",
                                   "OriginalException"};
    const char* const* key = xml ? xmlKeys : jsonKeys;
    auto text = [&](const std::string& field) { return Json(Decoded(field, xml)); };
    auto number = [&](std::uint64_t n) { return xml ? Json(std::to_string(n)) : Json(n); };
    Json j = {{key[0], text(e.TypeName())}, {key[1], text(e.DisplayValue())}};
    j[key[2]] = Json::array();
    std::uint64_t position = 0;
    const StdException::CallTrace& trace = e.GetCallTrace();
    for (auto entry = trace.rbegin(); entry != trace.rend() && e.GetDetailLevel() < 2; ++entry) {
        if (e.GetDetailLevel() == MediumDetail && position == 1) break;
        j[key[2]].push_back({{key[3], number(position++)},
                             {key[4], text(entry->file)},
                             {key[5], number(entry->line)},
                             {key[6], text(entry->funcsig)},
                             {key[7], text(entry->parameters)},
                             {key[8], text(entry->comment)}});
    }
    if (e.GetPreviousException() != nullptr) j[key[9]] = Expected(*e.GetPreviousException(), xml);
    if (const BadHandlerException* bad = dynamic_cast<const BadHandlerException*>(&e)) {
        j[key[10]] = Expected(*bad->GetHandlerException(), xml);
        j[key[11]] = Expected(*bad->GetOriginalException(), xml);
    }
    return j;
}

// The text libxml2 gives, released.
std::string Text(xmlChar* text) {
    const std::string copy = text != nullptr ? reinterpret_cast<const char*>(text) : "";
    xmlFree(text);
    return copy;
}

// An XML element as Expected writes it: CallTrace as an array, an element with
// children as an object of its attributes and children, any other as its text;
// an element that only wraps an Exception as that Exception.
Json FromXML(const xmlNode* node) {
    const xmlNode* child = xmlFirstElementChild(const_cast<xmlNode*>(node));
    if (child != nullptr && child->next == nullptr &&
        xmlStrEqual(child->name, BAD_CAST "Exception"))
        return FromXML(child);
    if (child == nullptr && !xmlStrEqual(node->name, BAD_CAST "CallTrace"))
        return Text(xmlNodeGetContent(node));
    Json j = xmlStrEqual(node->name, BAD_CAST "CallTrace") ? Json::array() : Json::object();
    for (const xmlAttr* a = node->properties; a != nullptr; a = a->next)
        j[reinterpret_cast<const char*>(a->name)] = Text(xmlGetProp(node, a->name));
    for (; child != nullptr; child = child->next) {
        if (j.is_array())
            j.push_back(FromXML(child));
        else
            j[reinterpret_cast<const char*>(child->name)] = FromXML(child);
    }
    return j;
}

// Pieces of fields: markup, controls, valid UTF-8 of one to four bytes,
// U+FFFE, U+10FFFF, and invalid sequences of every sort.
const std::string kPieces[] = {"<",
                               ">",
                               "&",
                               "\"",
                               "'",
                               "\\",
                               "&amp;",
                               "]]>",
                               "\r\n",
                               "\t",
                               std::string(1, '\0'),
                               "\x01",
                               "\x1f",
                               "\x7f",
                               "plain text",
                               "\xC3\xA9",
                               "\xE2\x82\xAC",
                               "\xF0\x9F\x98\x80",
                               "\xEF\xBF\xBE",
                               "\xF4\x8F\xBF\xBF",
                               "\x80",
                               "\xBF",
                               "\xC3",
                               "\xE2\x82",
                               "\xF0\x9F\x98",
                               "\xC0\x80",
                               "\xC1\xBF",
                               "\xE0\x80\x80",
                               "\xF0\x80\x80\x80",
                               "\xED\xA0\x80",
                               "\xF4\x90\x80\x80",
                               "\xF5",
                               "\xF8",
                               "\xFF"};

std::unique_ptr<StdException> Generated(std::mt19937& rng, int depth) {
    auto field = [&] {
        std::string s;
        for (int n = rng() % 6; n > 0; --n)
            s += rng() % 4 ? kPieces[rng() % (sizeof kPieces / sizeof *kPieces)]
                           : std::string(1, char(rng()));
        return s;
    };
    const int levels[] = {0, 1, 2, 7};
    StdException::SetDefaultDetailLevel(DetailLevel(levels[rng() % 4]));
    std::unique_ptr<StdException> e;
    if (depth > 0 && rng() % 3 == 0) {
        std::unique_ptr<StdException> original = Generated(rng, depth - 1);
        std::unique_ptr<StdException> handler = Generated(rng, depth - 1);
        e.reset(new BadHandlerException(field(), rng(), field(), field(), field(), original.get(),
                                        handler.get()));
    } else if (rng() % 2) {
        e.reset(new CPPException(field(), rng(), field(), field(), field(),
                                 std::runtime_error(field())));
    } else {
        e.reset(new AppException(field(), rng(), field(), field(), field(), field()));
    }
    for (int n = rng() % 4; n > 0; --n)
        e->AddToCallTrace(field(), rng(), field(), field(), field());
    e->SetDetailLevel(DetailLevel(levels[rng() % 4]));
    if (depth > 0 && rng() % 2) e->AddPreviousException(Generated(rng, depth - 1).get());
    return e;
}

TEST(WellFormedReports, EveryGeneratedExceptionParsesToWhatItHolds) {
    ModuleScope module;
    std::mt19937 rng(20);
    for (int i = 0; i < 300; ++i) {
        SCOPED_TRACE(i);
        const std::unique_ptr<StdException> e = Generated(rng, 2);
        const std::string json = AsJSON(*e), xml = AsEscapedXML(*e);
        EXPECT_EQ(Json::parse(json), Expected(*e, false));
        EXPECT_EQ(Json::parse(json).dump(), json);  // no white space; escapes as nlohmann's own
        xmlDoc* doc = xmlReadMemory(xml.data(), int(xml.size()), nullptr, "UTF-8", XML_PARSE_NONET);
        ASSERT_NE(doc, nullptr) << xml;
        EXPECT_EQ(FromXML(xmlDocGetRootElement(doc)), Expected(*e, true));
        xmlFreeDoc(doc);
        EXPECT_EQ(xml.find_first_of("\r\n"), std::string::npos);
    }
}

// Whole reports; plain fields give the XML report byte for byte; a failing
// DisplayValue leaves with one entry naming the report.
TEST(WellFormedReports, WholeReportsAndFailures) {
    UnexpectedException x("Reader.src", 42, "int Reader::Parse(const char *)", "text=abc",
                          "parsing the header");
    x.AddToCallTrace("App.src", 17, "int main(void)", "", "");
    const UnexpectedException check("Reader.src", 30, "void Reader::Check(void)", "",
                                    "checking the magic");
    x.AddPreviousException(&check);
    ExpectFile("reader-0.json", AsJSON(x));
    EXPECT_EQ(AsEscapedXML(x), x.AsXML());
    AppException app("m.src", 4, "std::vector<Item> Load(std::istream&)", "it's \"x\"",
                     "a<b & c>d\r\n", "m</Exception>\t\xE9t\xC3\xA9");
    CPPException cpp("c.src", 3, "void c()", "", "", std::out_of_range("index 9"));
    const BadHandlerException bad("b.src", 8, "void b()", "p(1)", "", &app, &cpp);
    ExpectFile("bad-handler-markup.json", AsJSON(bad));
    ExpectFile("bad-handler-markup.xml", AsEscapedXML(bad));
    fault = [](const std::string&) { throw std::runtime_error("cannot render"); };
    const std::string json = Escaped([&] { AsJSON(bad); });
    const std::string xml = Escaped([&] { AsEscapedXML(bad); });
    fault = nullptr;
    ExpectFile("reports-failing.xml", json + "\n" + xml + "\n");
}

// The stream strategy writes each one-line report with one "\n" and names its format.
TEST(WellFormedReports, StreamStrategyWritesOneReportALine) {
    const UnexpectedException e("u.src", 1, "void u()", "", "");
    std::ostringstream out;
    for (auto format :
         {StreamReportingStrategy::JSONReport, StreamReportingStrategy::EscapedXMLReport}) {
        StreamReportingStrategy strategy(out, format);
        strategy.Report(e);
        out << strategy << "\n";
    }
    EXPECT_EQ(out.str(), AsJSON(e) + "\nJSON report to a stream\n" + AsEscapedXML(e) +
                             "\nescaped XML report to a stream\n");
}

}  // namespace
