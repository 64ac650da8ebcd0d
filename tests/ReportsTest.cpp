// The reports for tools, read back by parsers written elsewhere (nlohmann's
// JSON, libxml2): generated exceptions whose fields hold every kind of byte,
// at every detail level, with chains and nested BadHandlerExceptions; the
// fields of records, of every kind of value. (Whole
// reports of both kinds are the demo's expected outputs full-escaped.out and
// medium-json.out; the stream strategy's are in strategies.txt.)

#include <StdException/Reports>

#include <libxml/parser.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <limits>
#include <locale>
#include <memory>
#include <random>
#include <sstream>
#include <system_error>

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
std::vector<std::string> Leaves(const Json& j, std::vector<std::string> out = {},
                                bool named = false) {
    if (!j.is_structured())
        out.push_back(j.is_string() ? Decoded(j.get<std::string>(), true) : j.dump());
    else
        for (const auto& item : j.items()) {
            if (named) out.push_back(Decoded(item.key(), true));
            out = Leaves(item.value(), std::move(out), item.key() == "fields");
        }
    return out;
}

// The position and name attributes and the texts of elements without
// children of an XML report, in document order: the leaves of its JSON report.
std::vector<std::string> Leaves(xmlNode* node, std::vector<std::string> out = {}) {
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
    const double reals[] = {1,    -0.0,  0.1, 2.5e-7,   123456.789,
                            1e15, 1e300, NAN, INFINITY, -INFINITY};
    for (auto n = plain ? 0 : rng() % 20; n > 0; --n) {  // AsEscapedXML is AsXML without them
        const std::uint64_t bits = std::uint64_t(rng()) << 32 | rng();
        const FieldValue values[] = {field(), std::int64_t(bits), bits, reals[rng() % 10],
                                     rng() % 2 == 0};
        e->SetField(field(), values[rng() % 5]);
    }
    e->SetDetailLevel(DetailLevel(levels[rng() % 4]));
    if (depth > 0 && rng() % 2) e->AddPreviousException(Generated(rng, depth - 1, plain).get());
    return e;
}

// Each report parses to what the exception holds: the JSON report to its
// fields, the XML report to the same values in the same order; plain fields
// give the XML report byte for byte, elements and nesting included.
TEST(ReportsTest, EveryGeneratedExceptionParsesToWhatItHolds) {
    ModuleScope module;
    std::mt19937 rng(20);
    for (int i = 0; i < 300; ++i) {
        SCOPED_TRACE(i);
        const std::unique_ptr<StdException> e = Generated(rng, 2, i % 4 == 0);
        for (int k = i % 4 == 1 ? 30 : 0; k > 0; --k)  // numbers under long keys, one run
            e->SetField(std::string(60, 'k') + std::to_string(k), -1.5e-300);
        const std::string json = AsJSON(*e), xml = AsEscapedXML(*e);
        const Json parsed = Json::parse(json);
        EXPECT_EQ(json, Expected(*e).dump());  // numbers of the same kinds too
        EXPECT_EQ(parsed.dump(), json);        // no white space; escapes as nlohmann's own
        const std::unique_ptr<xmlDoc, void (*)(xmlDoc*)> doc(
            xmlReadDoc(BAD_CAST xml.c_str(), nullptr, "UTF-8", 0), xmlFreeDoc);
        ASSERT_NE(doc, nullptr) << xml;
        EXPECT_EQ(Leaves(xmlDocGetRootElement(doc.get())), Leaves(parsed));
        EXPECT_EQ(xml.find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(i % 4 == 0 ? e->AsXML() : xml, xml);
    }
}

// Fields of every kind of value and of every convertible type, set in order
// and one set again; a copy, a clone, an assignment and a chain, each changed
// after it was made: the whole reports of what each holds then.
TEST(ReportsTest, EveryRecordKeepsItsOwnInTheOrderTheyWereSet) {
    ModuleScope module;
    AppException source = App("source"), assigned = App("assigned");
    source.SetField("int", 1);
    source.SetField("text", std::string("a\tb\xFF"));
    source.SetField("chars", "c<&>");
    source.SetField("null", static_cast<const char*>(nullptr));
    source.SetField("char", 'x');
    source.SetField("least", std::numeric_limits<std::int64_t>::min());
    source.SetField("most", std::numeric_limits<std::uint64_t>::max());
    source.SetField("short", short(-3));
    source.SetField("byte", std::uint8_t(200));
    source.SetField("float", 0.5f);
    source.SetField("whole", 1.0);
    source.SetField("large", 1e21);
    source.SetField("tiny", 1e-5);
    source.SetField("nan", std::nan(""));
    source.SetField("true", true);
    source.SetField("int", 7u);  // its place, its new value and kind
    AppException copy(source);
    copy.SetField("text", "the copy's");
    assigned.SetField("gone", 1);
    assigned = copy;
    assigned.SetField("added", false);
    const std::unique_ptr<StdException> clone(source.clone());
    clone->SetField("float", -0.0);
    BadHandlerException chain("b.src", 2, "void g()", "", "", &source, &assigned);
    chain.SetField("held", "outer");
    chain.AddPreviousException(clone.get());
    EXPECT_EQ(source.GetField("absent"), nullptr);
    EXPECT_EQ(source.GetField("most")->GetUnsigned(), std::numeric_limits<std::uint64_t>::max());
    ExpectFile("fields.txt", AsJSON(chain) + "\n" + AsEscapedXML(chain) + "\n" +
                                 AsReadable(source) + AsReadable(copy));
}

// A standard exception that a guard translates: its type and message, and
// what it carries besides as fields, for each kind that carries something.
TEST(ReportsTest, TranslatedStandardErrorsKeepTheirData) {
    const std::function<void()> throws[] = {
        [] {
            throw std::system_error(std::make_error_code(std::errc::permission_denied), "opening");
        },
        [] {
            throw std::filesystem::filesystem_error("copying", "from/a", "to/b",
                                                    std::make_error_code(std::errc::file_exists));
        },
        [] { throw std::filesystem::filesystem_error("removing", "only/one", std::error_code()); },
        [] { throw std::future_error(std::future_errc::broken_promise); },
        [] { std::ifstream("/no/such/file").exceptions(std::ios::failbit); },
        [] { throw std::out_of_range("nothing besides"); },
    };
    std::string out;
    for (const std::function<void()>& body : throws) try {
            QUORBEL_GUARD("", "", body);
        } catch (const CPPException& e) {
            const Json fields = Json::parse(AsJSON(e)).value("fields", Json::object());
            out += e.GetOriginalTypeName() + " | " + e.GetOriginalMessage() + " | " +
                   fields.dump() + "\n";
        }
    ExpectFile("standard-errors.txt", out);
}

// OpenTelemetry's attributes: the original type and message of a translated
// standard error, the origin entry whatever the level, a typed line number,
// then the fields.
TEST(ReportsTest, AttributesNameTheOriginThenTheFields) {
    CPPException cpp("a.src", 7, "int Parse()", "", "", std::out_of_range("index 7"));
    cpp.AddToCallTrace("b.src", 9, "void Load()", "", "");
    cpp.SetDetailLevel(LowDetail);
    cpp.SetField("size", 5u);
    const AppException app = App("no port", "c.src", 3);
    const struct {
        const StdException& e;
        std::string expected;
    } rows[] = {{cpp, "std::out_of_range|index 7|int Parse()|a.src|7|size|5|"},
                {app, "probes::AppException|no port|void f()|c.src|3|"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.expected);
        const auto attributes = OpenTelemetryAttributes(row.e);
        std::string out;
        for (std::size_t i = 0; i != attributes.size(); ++i) {
            const FieldValue& value = attributes[i].second;
            if (i >= 6) out += attributes[i].first + "|";
            if (i != 2)
                out += value.GetText() +
                       (value.GetKind() == FieldValue::Text
                            ? ""
                            : Json(value.GetInteger() + value.GetUnsigned()).dump()) +
                       "|";
        }
        EXPECT_EQ(out, row.expected);
        EXPECT_EQ(attributes[0].first + attributes[1].first + attributes[2].first +
                      attributes[3].first + attributes[4].first + attributes[5].first,
                  "exception.typeexception.messageexception.stacktracecode.function.namecode.file."
                  "pathcode.line.number");
        EXPECT_EQ(attributes[2].second.GetText(), AsReadable(row.e));
        EXPECT_EQ(attributes[5].second.GetKind(), FieldValue::Integer);
    }
}

// A locale that groups digits by thousands, as many named locales do.
struct Grouping : std::numpunct<char> {
    char do_thousands_sep() const override { return ','; }
    std::string do_grouping() const override { return "\3"; }
};

int renderings = 0;  // DisplayValue calls, while the fault counts them

// Every report of records whose lines and fields are large numbers, and the
// description that a failing constructor records: the same bytes whatever
// the global locale and the locale of the stream they are written to.
TEST(ReportsTest, NoLocaleChangesAReport) {
    AppException app = App("grouped", "a.src", 4294967295u);
    app.AddToCallTrace("b.src", 1234567, "void g()", "", "");
    app.SetField("amount", 99999);
    app.SetField("limit", 1000.0);
    const BadHandlerException bad("c.src", 4000000000u, "void h()", "", "", &app, &app);
    const auto reports = [&] {
        std::ostringstream stream;
        stream << bad;
        renderings = 0;
        fault = [](const std::string&) {
            if (++renderings == 3) throw std::runtime_error("the third rendering");
        };
        const std::string failed =
            Escaped([&] { BadHandlerException("d.src", 3000000000u, "", "", "", &app, &app); });
        fault = nullptr;
        return bad.AsString() + bad.AsXML() + AsJSON(bad) + AsEscapedXML(bad) + AsReadable(bad) +
               stream.str() + failed;
    };
    const std::string classic = reports();
    const std::locale previous =
        std::locale::global(std::locale(std::locale::classic(), new Grouping));
    const std::string grouped = reports();
    std::locale::global(previous);
    EXPECT_EQ(grouped, classic);
    EXPECT_NE(classic.find("line(3000000000)"), std::string::npos);
}

}  // namespace
