#include "Probes.h"

#include <StdException/StdException>
#include <gtest/gtest.h>

using namespace Quorbel;

TEST(Smoke, RendersWorkedExample) {
    UnexpectedException x("Reader.src", 42, "int Reader::Parse(const char *)", "text=abc",
                          "parsing the header");
    x.AddToCallTrace("App.src", 17, "int main(void)", "", "");
    UnexpectedException p("Reader.src", 30, "void Reader::Check(void)", "", "checking the magic");
    x.AddPreviousException(&p);
    EXPECT_EQ(x.AsString(),
              "An unexpected exception was caught in our exception handler.\r\n"
              "[1] \tFile : Reader.src\r\n"
              "\tLine : 42\r\n"
              "\tFunction signature : int Reader::Parse(const char *)\r\n"
              "\tParameters : text=abc\r\n"
              "\tDeveloper Comment : parsing the header\r\n"
              "[0] \tFile : App.src\r\n"
              "\tLine : 17\r\n"
              "\tFunction signature : int main(void)\r\n"
              "\tParameters : \r\n"
              "\tDeveloper Comment : \r\n"
              "Translated from a previous exception:\r\n"
              "{\r\n"
              "An unexpected exception was caught in our exception handler.\r\n"
              "[0] \tFile : Reader.src\r\n"
              "\tLine : 30\r\n"
              "\tFunction signature : void Reader::Check(void)\r\n"
              "\tParameters : \r\n"
              "\tDeveloper Comment : checking the magic\r\n"
              "}\r\n");
    std::cout << x.AsXML() << "\n";
    UnexpectedException a = x;
    std::cout << a.AsString() << "\n";
}
