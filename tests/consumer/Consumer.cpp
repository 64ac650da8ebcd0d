// A program outside the library, built against it the ways an application
// would: an exception that the library raises crosses into this program's
// guard, is caught here by its base class and rendered, naming the library's
// source file relative to its source tree.

#include <StdException/Guard>
#include <StdException/StdException>

#include <iostream>
#include <sstream>

int main() {
    std::ostringstream report;
    try {
        QUORBEL_GUARD("", "", [] { Quorbel::BadHandlerException("a", 1, "f", "", "", nullptr, nullptr); });
    } catch (const Quorbel::StdException& e) {
        report << e;
    }
    std::cout << report.str();
    const std::string expected = "std::invalid_argument\r\nBadHandlerException needs two exceptions, but "
                                 "originalException is null\r\n[1] \tFile : common/StdException/Core.cpp\r\n";
    return report.str().compare(0, expected.size(), expected) == 0 ? 0 : 1;
}
