// Whole reports compared with the files in tests/expected: the renderings at
// every detail level, a BadHandlerException nested in another, and what the
// library's guards make of failures that pass through its operations.

#include <StdException/Guard>

#include <iomanip>

#include "Probes.h"

using namespace Quorbel;
using namespace probes;

namespace {

// Both reports of e, in the files <name>.txt and <name>.xml.
void ExpectReports(const std::string& name, const StdException& e) {
    ExpectFile(name + ".txt", e.AsString());
    ExpectFile(name + ".xml", e.AsXML());
}

TEST(ReportsTest, ReaderExampleAtEachDetailLevel) {
    UnexpectedException x("Reader.src", 42, "int Reader::Parse(const char *)", "text=abc", "parsing the header");
    x.AddToCallTrace("App.src", 17, "int main(void)", "", "");
    const UnexpectedException check("Reader.src", 30, "void Reader::Check(void)", "", "checking the magic");
    x.AddPreviousException(&check);
    for (int level : {0, 1, 2, 7}) {  // as an application stores them
        SCOPED_TRACE(level);
        x.SetDetailLevel(DetailLevel(level));
        EXPECT_EQ(x.GetDetailLevel(), DetailLevel(level));
        ExpectReports("reader-" + std::to_string(level), x);
    }
    // A second previous exception replaces the first, at the record's level; a
    // copy of the record itself is taken before its chain goes.
    const UnexpectedException other("Other.src", 1, "void Other()", "", "");
    x.AddPreviousException(&other);
    x.AddPreviousException(nullptr);
    x.AddPreviousException(&x);
    ExpectFile("reader-chain-7.txt", x.AsString());
    x.SetDetailLevel(MediumDetail);
    ExpectFile("reader-chain-1.txt", x.AsString());
}

// A BadHandlerException whose handler is another BadHandlerException, held at
// the level the inner one was made at, with a previous exception whose fields
// hold markup and a text longer than the stream's chunk.
TEST(ReportsTest, NestedBadHandlerWithPreviousChain) {
    ModuleScope module;
    StdException::SetDefaultDetailLevel(MediumDetail);
    UnexpectedException unexpected("u.src", 5, "void u()", "", "");
    unexpected.AddToCallTrace("v.src", 6, "void v()", "", "hidden at medium detail");
    const std::logic_error& error = std::out_of_range("index 9");  // named by its dynamic type
    CPPException cpp("c.src", 3, "void c()", "", "", error);
    BadHandlerException inner("i.src", 7, "void i()", "", "inner", &unexpected, &cpp);
    StdException::SetDefaultDetailLevel(FullDetail);
    AppException original = App("original"), below = App("below", "b.src", 2);
    original.AddPreviousException(&below);
    BadHandlerException outer("o.src", 8, "void o()", "p(1)", "outer", &original, &inner);
    const AppException markup("m.src", 4, "std::vector<Item> Load(std::istream&)", std::string(300, 'p'),
                              "a<b & \"c\"</Exception>", "m</Exception>");
    outer.AddPreviousException(&markup);
    outer.AddToCallTrace("t.src", 9, "int main()", "", "");
    ExpectReports("bad-handler", outer);  // through a reference to the base: the renderings are virtual
}

TEST(ReportsTest, StreamInsertionPadsTheWholeReport) {
    UnexpectedException e("u.src", 5, "void u()", "", "");
    e.SetDetailLevel(LowDetail);
    std::ostringstream os;
    os << std::setfill('*') << std::setw(66) << e << '|' << std::left << std::setw(65) << e << '|';
    const std::string line = "An unexpected exception was caught in our exception handler.\r\n";
    EXPECT_EQ(os.str(), "****" + line + "|" + line + "***|");
}

}  // namespace
