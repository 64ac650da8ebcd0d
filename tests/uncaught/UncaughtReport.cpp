// Lets an exception escape main after ReportUncaughtExceptions(), with the
// handler installed before it ending the program with status 3. The argument
// chooses the exception and the module default strategy.

#include <StdException/Guard>
#include <StdException/Strategies>

#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>

// Without parameters, so that the compilers write its signature alike.
int Load() {
    QUORBEL_TRY { throw std::invalid_argument("bad port"); }
    QUORBEL_CATCH("port(eighty)", "")
}

int main(int argc, char** argv) {
    std::set_terminate([] { std::cerr << "previous handler\n", std::_Exit(3); });
    Quorbel::ReportUncaughtExceptions();
    const std::string how = argc > 1 ? argv[1] : "";
    if (how == "standard") throw std::invalid_argument("bad port");
    // A strategy that fails while it reports cannot keep the program alive.
    const Quorbel::CallbackReportingStrategy failing([](const Quorbel::StdException& e) {
        std::cerr << "reporting " << e.TypeName() << '\n',
            throw std::runtime_error("report failed");
    });
    if (how == "strategy") Quorbel::StdException::SetDefaultReportingStrategy(&failing);
    return Load();
}
