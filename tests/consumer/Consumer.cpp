// A program outside the library, built against it the ways an application
// would: an exception that the library raises crosses into this program's
// guard, is caught here by its base class and rendered.

#include <StdException/Guard>
#include <StdException/StdException>

#include <iostream>
#include <sstream>

int main() {
    Quorbel::StdException::SetDefaultDetailLevel(Quorbel::LowDetail);
    std::ostringstream report;
    try {
        QUORBEL_GUARD("", "", [] { Quorbel::BadHandlerException("a", 1, "f", "", "", nullptr, nullptr); });
    } catch (const Quorbel::StdException& e) {
        report << e;
    }
    std::cout << report.str();
    return report.str() == "std::invalid_argument\r\nBadHandlerException needs two exceptions, but "
                           "originalException is null\r\n" ? 0 : 1;
}
