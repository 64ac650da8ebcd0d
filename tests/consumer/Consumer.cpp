// A program outside the library, built against StdException the ways an
// application would: an exception thrown here and one thrown inside the
// library are both caught here by their base class and rendered, and the
// library names its own source files relative to its source tree.

#include <StdException/Guard>
#include <StdException/StdException>

#include <iostream>
#include <sstream>
#include <string>

int main() {
    using namespace Quorbel;
    StdException::SetDefaultDetailLevel(MediumDetail);

    std::ostringstream report;
    try {
        QUORBEL_GUARD("", "", [] {
            throw UnexpectedException("Loader.cpp", 12, "void Load()", "n(1)", "reading");
        });
    } catch (const StdException& e) {
        report << e;
    }

    std::string libraryKind;
    try {
        BadHandlerException("Loader.cpp", 20, "void Handle()", "", "", nullptr, nullptr);
    } catch (const StdException& e) {
        const std::string xml = e.AsXML(), file = "<File>";
        libraryKind = e.TypeName() + " in " + xml.substr(xml.find(file) + file.size(), 28);
    }

    const std::string expected =
        "An unexpected exception was caught in our exception handler.\r\n"
        "\tFile : Loader.cpp\r\n\tLine : 12\r\n\tFunction signature : void Load()\r\n"
        "\tParameters : n(1)\r\n\tDeveloper Comment : reading\r\n";
    if (report.str() != expected || libraryKind != "CPPException in common/StdException/Core.cpp") {
        std::cerr << "consumer: unexpected report\n" << report.str() << "or kind '" << libraryKind
                  << "' thrown by the library\n";
        return 1;
    }
    std::cout << "consumer: caught and rendered across the library boundary\n";
    return 0;
}
