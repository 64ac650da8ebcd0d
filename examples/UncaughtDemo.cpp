// UncaughtDemo: what ReportUncaughtExceptions() reports when an exception ends
// the program, and that it then hands over to the terminate handler installed
// before it, here one that says so and exits with status 3.
//
//   stdexception_uncaught_demo family|standard|thread|strategy
//
// family: a CPPException escapes main (its text report on standard error);
// standard: a std::invalid_argument escapes main (its type and message);
// thread: the CPPException escapes a thread function instead of main;
// strategy: the default strategy that should report it fails (nothing more).

#include <StdException/Guard>
#include <StdException/Strategies>

#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>

// Without parameters, so that every compiler writes its signature alike.
int Load() {
    QUORBEL_TRY { throw std::invalid_argument("bad port"); }
    QUORBEL_CATCH("port(eighty)", "")
}

int main(int argc, char** argv) {
    std::set_terminate([] {
        std::cerr << "previous handler\n";
        std::_Exit(3);
    });
    Quorbel::ReportUncaughtExceptions();
    const std::string how = argc > 1 ? argv[1] : "";
    if (how == "standard") throw std::invalid_argument("bad port");
    if (how == "thread") std::thread(Load).join();  // a function, which every compiler names alike
    // A strategy that fails while it reports cannot keep the program alive.
    const Quorbel::CallbackReportingStrategy failing([](const Quorbel::StdException& e) {
        std::cerr << "reporting " << e.TypeName() << '\n';
        throw std::runtime_error("report failed");
    });
    if (how == "strategy") Quorbel::StdException::SetDefaultReportingStrategy(&failing);
    return Load();
}
