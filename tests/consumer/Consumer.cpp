// A program outside the library, built against it the ways an application
// would. The header checks compile it in every language mode, so it uses
// every macro and template of the public headers; run, it checks that an
// exception the library raises crosses into this program's guards, is caught
// here by its base class and reported, naming the library's source file
// relative to its source tree and this one relative to this directory; and
// that the throw site is captured exactly when CONSUMER_EXPECTS_CAPTURE is
// set in the environment (the capture library linked or preloaded).

#include <StdException/BasicException>
#include <StdException/Guard>
#include <StdException/Reports>
#include <StdException/Strategies>
#include <StdException/ThrowSite>

#include <cstdlib>
#include <iostream>
#include <sstream>
#include <utility>

struct ConsumerException : Quorbel::BasicException<ConsumerException> {
    using BasicException::BasicException;
};

int Checked(int n) {
    QUORBEL_TRY {
        return n > 1 ? throw QUORBEL_MAKE(ConsumerException, "", "", "too big")
                     : QUORBEL_GUARD_WITH_CLEANUP(
                           "", [] { return std::string("comment"); }, [&, n] { return n; }, [] {});
    }
    QUORBEL_CATCH_WITH_CLEANUP([&, n] { return "n(" + std::to_string(n) + ")"; }, "", [] {})
}

int main() {
    Quorbel::ReportUncaughtExceptions();
    std::ostringstream report;
    const Quorbel::StreamReportingStrategy toReport(report);
    try {
        QUORBEL_TRY {
            QUORBEL_GUARD("", "", [] {
                Quorbel::BadHandlerException("a", 1, "f", "", "", nullptr, nullptr);
            });
        }
        QUORBEL_CATCH(std::pair<std::string, int>("", 0).first, "")
    } catch (Quorbel::StdException& e) {
        e.SetReportingStrategy(&toReport);
        e.SetField("int", 1);  // each kind of value, unambiguously in every language mode
        e.SetField("text", "one");
        e.SetField("size", e.GetCallTrace().size());
        e.SetField("char", 'c');
        e.SetField("real", 0.5f);
        e.SetField("bool", e.GetField("int") != nullptr);
        e.ForEachField([](const std::string&, const Quorbel::FieldValue&) {});
        e.ReportException();
        const bool capture = std::getenv("CONSUMER_EXPECTS_CAPTURE") != nullptr;
        if (Quorbel::ThrowSiteCaptureLoaded() != capture ||
            Quorbel::GetThrowSite(e).empty() == capture || Quorbel::ThrowsWithoutFrames() != 0 ||
            !Quorbel::GetThrownType(e).empty()) {
            std::cout << "throw site captured: " << Quorbel::AsReadable(e);
            return 1;
        }
        const auto* bad = dynamic_cast<const Quorbel::BadHandlerException*>(&e);
        std::cout << Quorbel::AsJSON(e).size() + Quorbel::AsEscapedXML(e).size() +
                         e.GetCallTrace().size() + !e.GetPreviousException() +
                         !(bad && bad->GetOriginalException() && bad->GetHandlerException());
    }
    std::cout << report.str() << Checked(1);
    const std::string expected =
        "std::invalid_argument\r\nBadHandlerException needs two exceptions, but "
        "originalException is null\r\n[2] \tFile : common/StdException/Core.cpp\r\n";
    const bool relative = report.str().find("\tFile : Consumer.cpp\r\n") != std::string::npos;
    return report.str().compare(0, expected.size(), expected) == 0 && relative ? 0 : 1;
}
