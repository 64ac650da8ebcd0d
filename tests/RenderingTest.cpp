#include <gtest/gtest.h>

#include "Probes.h"

#include <iomanip>
#include <sstream>
#include <stdexcept>

using namespace Quorbel;

namespace {

const std::string kUnexpected = "An unexpected exception was caught in our exception handler.";
const std::string kLowUnexpectedXml = "<Exception><Name>UnexpectedException</Name><Value>" +
                                      kUnexpected + "</Value><CallTrace></CallTrace></Exception>";

}  // namespace

// An exception raised in Reader::Parse that main passed through, translated
// from one raised in Reader::Check.
TEST(RenderingTest, ReaderExampleAtEveryDetailLevel) {
    UnexpectedException x("Reader.src", 42, "int Reader::Parse(const char *)", "text=abc",
                          "parsing the header");
    x.AddToCallTrace("App.src", 17, "int main(void)", "", "");
    const UnexpectedException previous("Reader.src", 30, "void Reader::Check(void)", "",
                                       "checking the magic");
    x.AddPreviousException(&previous);

    const std::string parseText =
        "\tFile : Reader.src\r\n\tLine : 42\r\n\tFunction signature : "
        "int Reader::Parse(const char *)\r\n\tParameters : text=abc\r\n"
        "\tDeveloper Comment : parsing the header\r\n";
    const std::string mainText =
        "\tFile : App.src\r\n\tLine : 17\r\n\tFunction signature : int main(void)\r\n"
        "\tParameters : \r\n\tDeveloper Comment : \r\n";
    const std::string checkText =
        "\tFile : Reader.src\r\n\tLine : 30\r\n\tFunction signature : void Reader::Check(void)"
        "\r\n\tParameters : \r\n\tDeveloper Comment : checking the magic\r\n";
    const std::string u = kUnexpected + "\r\n";
    const std::string translated = "Translated from a previous exception:\r\n{\r\n";

    const std::string head = "<Exception><Name>UnexpectedException</Name><Value>" + kUnexpected +
                             "</Value><CallTrace>";
    const std::string parseXml =
        "<CallTraceEntry position=\"0\"><File>Reader.src</File><Line>42</Line>"
        "<FuncSig>int Reader::Parse(const char *)</FuncSig><Params>text=abc</Params>"
        "<Comment>parsing the header</Comment></CallTraceEntry>";
    const std::string mainXml =
        "<CallTraceEntry position=\"1\"><File>App.src</File><Line>17</Line>"
        "<FuncSig>int main(void)</FuncSig><Params></Params><Comment></Comment></CallTraceEntry>";
    const std::string chained = "</CallTrace><PreviousException>" + head;
    const std::string checkXml =
        "<CallTraceEntry position=\"0\"><File>Reader.src</File><Line>30</Line>"
        "<FuncSig>void Reader::Check(void)</FuncSig><Params></Params>"
        "<Comment>checking the magic</Comment></CallTraceEntry>";
    const std::string tail = "</CallTrace></Exception></PreviousException></Exception>";

    const struct {
        DetailLevel level;
        std::string text, xml;
    } cases[] = {
        {FullDetail,
         u + "[1] " + parseText + "[0] " + mainText + translated + u + "[0] " + checkText + "}\r\n",
         head + parseXml + mainXml + chained + checkXml + tail},
        {MediumDetail, u + parseText + translated + u + checkText + "}\r\n",
         head + parseXml + chained + checkXml + tail},
        {LowDetail, u + translated + u + "}\r\n", head + chained + tail},
        {static_cast<DetailLevel>(7), u + translated + u + "}\r\n", head + chained + tail},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level);
        x.SetDetailLevel(c.level);
        EXPECT_EQ(x.AsString(), c.text);
        EXPECT_EQ(x.AsXML(), c.xml);
    }
}

// The held reports follow the previous chain, the handler's first, and the
// XML splices them in before the last closing tag even when a field holds
// that tag. Field texts are never escaped.
TEST(RenderingTest, BadHandlerWithPreviousExceptionPutsHeldReportsLast) {
    StdException::SetDefaultDetailLevel(LowDetail);
    UnexpectedException original("u.src", 5, "void u()", "", "");
    CPPException handler("c.src", 3, "void c()", "", "", std::runtime_error("clean-up failed"));
    BadHandlerException bad("b.src", 9, "void b()", "", "", &original, &handler);
    StdException::SetDefaultDetailLevel(FullDetail);
    const probes::AppException previous("p.src", 2, "void p()", "", "",
                                        "a<b & \"c\"</Exception>");
    bad.AddPreviousException(&previous);
    EXPECT_EQ(bad.AsString(),
              "A CPPException was caught while handling a UnexpectedException exception.\r\n"
              "Translated from a previous exception:\r\n{\r\na<b & \"c\"</Exception>\r\n}\r\n"
              "Handler Exception:\r\nstd::runtime_error\r\nclean-up failed\r\n"
              "Original Exception:\r\n" + kUnexpected + "\r\n");
    EXPECT_EQ(bad.AsXML(),
              "<Exception><Name>BadHandlerException</Name><Value>A CPPException was caught while "
              "handling a UnexpectedException exception.</Value><CallTrace></CallTrace>"
              "<PreviousException><Exception><Name>AppException</Name>"
              "<Value>a<b & \"c\"</Exception></Value><CallTrace></CallTrace></Exception>"
              "</PreviousException><HandlerException><Exception><Name>CPPException</Name>"
              "<Value>std::runtime_error\r\nclean-up failed</Value><CallTrace></CallTrace>"
              "</Exception></HandlerException><OriginalException>" + kLowUnexpectedXml +
                  "</OriginalException></Exception>");
}

// The character after the report is not padded: the width went back to 0.
TEST(RenderingTest, StreamInsertionPadsTheWholeReportAndResetsTheWidth) {
    UnexpectedException e("u.src", 5, "void u()", "", "");
    e.SetDetailLevel(LowDetail);
    std::ostringstream right, left;
    right << std::setfill('*') << std::setw(66) << e << '|';
    left << std::setfill('-') << std::left << std::setw(65) << e << '|';
    EXPECT_EQ(right.str(), "****" + kUnexpected + "\r\n|");
    EXPECT_EQ(left.str(), kUnexpected + "\r\n---|");
}
