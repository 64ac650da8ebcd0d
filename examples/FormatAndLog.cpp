// FormatAndLog: an exception written by fmt in each of its four reports, and
// logged through spdlog, called directly and from a reporting strategy, with
// <StdException/Format>. Everything goes to standard output; exit status 0.

#include <StdException/BasicException>
#include <StdException/Format>
#include <StdException/Guard>
#include <StdException/Strategies>

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <string>

// PortException: the application's kind, in one line.
struct PortException : Quorbel::BasicException<PortException> {
    using BasicException::BasicException;
};

int ParsePort(const std::string& text) {
    QUORBEL_TRY {
        if (text.find_first_not_of("0123456789") != std::string::npos)
            QUORBEL_THROW(PortException, "", "", "port \"" + text + "\" is not a number");
        return std::stoi(text);
    }
    QUORBEL_CATCH("text(" + text + ")", "ports are <1..65535> & digits only")
}

int main() {
    // Records as "<level> <message>", so that the output does not depend on the time.
    spdlog::set_default_logger(spdlog::stdout_logger_st("console"));
    spdlog::set_pattern("%l %v");
    try {
        ParsePort("eighty");
    } catch (PortException& e) {
        fmt::print("text report:\n{}", e);
        fmt::print("XML report:\n{:x}\n", e);
        fmt::print("escaped XML report:\n{:e}\n", e);
        fmt::print("JSON report:\n{:j}\n", e);
        fmt::print("readable report:\n{:t}", e);
        try {
            fmt::print(fmt::runtime("{:q}\n"), e);  // no such report
        } catch (const fmt::format_error& error) {
            fmt::print("format error: {}\n", error.what());
        }
        spdlog::error("{:j}", e);
        // A strategy that logs every exception it is handed, as a warning.
        const Quorbel::CallbackReportingStrategy toLog(
            [](const Quorbel::StdException& x) { spdlog::warn("{:e}", x); });
        e.SetReportingStrategy(&toLog);
        e.ReportException();
    }
    return 0;
}
