// The reports for tools, read back by parsers written elsewhere (nlohmann's
// JSON, libxml2): generated exceptions whose fields hold every kind of byte,
// at every detail level, with chains and nested BadHandlerExceptions; the
// fields of records, of every kind of value; OpenTelemetry's attributes of
// translated standard errors. (Whole reports of both kinds are the demo's
// expected outputs full-escaped.out and medium-json.out; the stream
// strategy's are in strategies.txt.)

#include <StdException/Reports>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <future>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <system_error>

#include "Probes.h"
#include "ReportOracle.h"

using namespace Quorbel;
using namespace probes;
using namespace oracle;
using namespace std::string_literals;

// Standard errors of each kind that carries data besides its message, one
// that carries none, and an application's exception.
void (*const kThrows[])() = {
    [] { throw std::system_error(std::make_error_code(std::errc::permission_denied), "opening"); },
    [] {
        throw std::filesystem::filesystem_error("copying", "from/a", "to/b",
                                                std::make_error_code(std::errc::file_exists));
    },
    [] { throw std::filesystem::filesystem_error("removing", "only/one", std::error_code()); },
    [] { throw std::future_error(std::future_errc::broken_promise); },
    [] { std::ifstream("/no/such/file").exceptions(std::ios::failbit); },
    [] { throw std::out_of_range("nothing besides"); },
    [] { throw App("no port", "c.src", 1234567); },
};

// Throws kThrows[which] through a guard. Outside any namespace and with a
// plain signature, so that every compiler names it alike.
void Guarded(int which) {
    QUORBEL_GUARD("", "", [which] { kThrows[which](); });
}

namespace {

// Fields are slices of these bytes: markup, controls, NUL, valid UTF-8 of one
// to four bytes (U+FFFE and U+10FFFF among them) and invalid sequences of every
// sort; a slice may cut a sequence short or start inside one. Or of plain ones.
const std::string kPlain = "int Settings::Read(size_t) = 42; [a.src] ok";
const std::string kBytes =
    "<>&\"'\\ ]]> \r\n\t\x01\x1f\x7f \xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"
    " \xEF\xBF\xBE \xF4\x8F\xBF\xBF \xC0\x80 \xC1\xBF \xE0\x80\x80"
    " \xF0\x80\x80\x80 \xED\xA0\x80 \xF4\x90\x80\x80 \xF5\xF8\xFF\0"s;

// Choices of a seeded generator: texts are slices of kPlain or of kBytes.
struct RandomSource {
    unsigned Pick(unsigned n) { return rng() % n; }
    std::uint64_t Bits() { return std::uint64_t(rng()) << 32 | rng(); }
    double Real() {
        const double reals[] = {1,    -0.0,  0.1, 2.5e-7,   123456.789,
                                1e15, 1e300, NAN, INFINITY, -INFINITY};
        return reals[rng() % 10];
    }
    std::string Text() {
        std::string s;
        for (int n = rng() % 5; n > 0; --n) s += bytes->substr(rng() % bytes->size(), rng() % 6);
        return s;
    }

    std::mt19937 rng;
    const std::string* bytes;
};

// Each report parses to what the exception holds: the JSON report to its
// fields, the XML report to the same values in the same order; plain fields
// give the XML report byte for byte, elements and nesting included.
TEST(ReportsTest, EveryGeneratedExceptionParsesToWhatItHolds) {
    ModuleScope module;
    RandomSource in{std::mt19937(20), nullptr};
    for (int i = 0; i < 300; ++i) {
        SCOPED_TRACE(i);
        in.bytes = i % 4 == 0 ? &kPlain : &kBytes;
        const std::unique_ptr<StdException> e = Generated(in, 2, i % 4 != 0);
        for (int k = i % 4 == 1 ? 30 : 0; k > 0; --k)  // numbers under long keys, one run
            e->SetField(std::string(60, 'k') + std::to_string(k), -1.5e-300);
        const std::string json = AsJSON(*e), xml = AsEscapedXML(*e);
        EXPECT_EQ(Mismatch(*e), "");
        EXPECT_EQ(Json::parse(json).dump(), json);  // no white space; escapes as nlohmann's own
        EXPECT_EQ(i % 4 == 0 ? e->AsXML() : xml, xml);
    }
}

// Fields of every kind of value and of every convertible type, set in order
// and one set again; a copy, a clone, an assignment and a chain, each changed
// after it was made: the whole reports of what each holds then.
TEST(ReportsTest, EveryRecordKeepsItsOwnInTheOrderTheyWereSet) {
    ModuleScope module;
    AppException source = App("source", "a.src", 4000000000u), assigned = App("assigned");
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

// OpenTelemetry's attributes of what a guard lets out, given one more entry
// and the lowest detail: the original type and message of a translated
// standard error (what it carries besides as fields), the origin entry with a
// typed line number whatever the level, then the fields; each as key, kind
// and text.
TEST(ReportsTest, AttributesNameTheOriginalErrorTheOriginAndTheFields) {
    std::string out;
    for (int which = 0; which != int(std::size(kThrows)); ++which) try {
            Guarded(which);
        } catch (StdException& e) {
            e.AddToCallTrace("b.src", 9, "void Load()", "", "");
            e.SetDetailLevel(LowDetail);
            e.SetField("size", 5u);
            for (const auto& attribute : OpenTelemetryAttributes(e))
                out += attribute.first + ":" + std::to_string(attribute.second.GetKind()) + ":" +
                       FieldText(attribute.second) + "\n";
        }
    ExpectFile("attributes.txt", out);
}

}  // namespace
