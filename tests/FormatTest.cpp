// Exceptions written by fmt and logged by spdlog through <StdException/Format>.

#include <StdException/Format>
#include <StdException/Strategies>

#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include "Probes.h"

using namespace Quorbel;

namespace {

// Each letter writes its report; any other is fmt's format error. spdlog
// writes the report as the message of a record, called directly and from a
// strategy.
TEST(FormatTest, EachLetterWritesItsReportThroughFmtAndSpdlog) {
    probes::AppException e("a<b>.src", 7, "int f(int&)", "x=\"1\"", "", "tab\tand\r\n");
    const StdException& base = e;
    EXPECT_EQ(fmt::format("{}|{:x}|{:e}|{:j}", e, base, e, base),
              e.AsString() + "|" + e.AsXML() + "|" + AsEscapedXML(e) + "|" + AsJSON(e));
    EXPECT_THROW(fmt::format(fmt::runtime("{:s}"), e), fmt::format_error);
    EXPECT_THROW(fmt::format(fmt::runtime("{:jx}"), e), fmt::format_error);
    static std::ostringstream out;  // outlives the default logger
    const auto sink = std::make_shared<spdlog::sinks::ostream_sink_st>(out);
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("test", sink));
    spdlog::set_pattern("%l %v");
    spdlog::error("{:j}", e);
    const CallbackReportingStrategy toLog([](const StdException& x) { spdlog::warn("{:e}", x); });
    e.SetReportingStrategy(&toLog);
    e.ReportException();
    EXPECT_EQ(out.str(), "error " + AsJSON(e) + "\nwarning " + AsEscapedXML(e) + "\n");
}

}  // namespace
