// Shared by the tests: an application exception, a strategy that logs what
// the library does with it, and the comparison of reports with the files in
// tests/expected.

#ifndef STDEXCEPTION_TESTS_PROBES_H
#define STDEXCEPTION_TESTS_PROBES_H

#include <StdException/BasicException>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <locale>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace probes {

using Quorbel::StdException;
typedef std::vector<std::string> Log;

// While set, the DisplayValue of every AppException calls it first with its
// description (to throw).
inline void (*fault)(const std::string& what) = nullptr;

// An application exception, a kind in one line but for what the tests
// watch: given a log, it writes "~<description>" to it when it is destroyed.
struct AppException : Quorbel::BasicException<AppException> {
    AppException(const std::string& file, std::uint32_t line, const std::string& funcsig,
                 const std::string& parameters, const std::string& comment,
                 const std::string& what = "app failure", Log* log = nullptr)
        : BasicException(file, line, funcsig, parameters, comment, what), log_(log) {}
    ~AppException() override {
        if (log_ != nullptr) log_->push_back("~" + Message());
    }
    std::string DisplayValue() const override {
        if (fault != nullptr) fault(Message());
        return Message();
    }

    Log* log_;
};

// An AppException raised in "void f()" at file:line.
inline AppException App(const std::string& what, const std::string& file = "a.src",
                        std::uint32_t line = 1, Log* log = nullptr) {
    return AppException(file, line, "void f()", "", "", what, log);
}

// A strategy that logs "clone <name>", "report <name>: <DisplayValue>" and
// "~<name>" for itself and its clones.
struct RecordingStrategy : Quorbel::CReportingStrategy {
    RecordingStrategy(Log& log, const std::string& name) : log_(&log), name_(name) {}
    ~RecordingStrategy() override { log_->push_back("~" + name_); }
    RecordingStrategy* clone() const override {
        log_->push_back("clone " + name_);
        if (failAfter != nullptr && --*failAfter == 0) throw std::runtime_error("clone failed");
        return new RecordingStrategy(*this);
    }
    void Report(const StdException& e) override {
        log_->push_back("report " + name_ + ": " + e.DisplayValue());
    }
    std::ostream& Print(std::ostream& os) const override { return os << name_; }

    int* failAfter = nullptr;  // when set, the clone that counts it down to 0 fails
    Log* log_;
    std::string name_;
};

// Compares text with the file tests/expected/<name> (built with libc++, whose
// type names and messages differ, with tests/expected/libc++/<name> where
// there is one); with STDEXCEPTION_UPDATE set in the environment it writes
// the file instead.
inline void ExpectFile(const std::string& name, const std::string& text) {
    std::string path = std::string(STDEXCEPTION_EXPECTED_DIR) + "/" + name;
#if defined(_LIBCPP_VERSION)
    if (std::ifstream(std::string(STDEXCEPTION_EXPECTED_DIR) + "/libc++/" + name))
        path = std::string(STDEXCEPTION_EXPECTED_DIR) + "/libc++/" + name;
#endif
    if (std::getenv("STDEXCEPTION_UPDATE") != nullptr)
        std::ofstream(path, std::ios::binary) << text;
    std::stringstream expected;
    expected << std::ifstream(path, std::ios::binary).rdbuf();
    EXPECT_EQ(text, expected.str()) << "differs from " << path;
}

// The XML report with the places of the library's own guards made
// independent of compiler and source lines: the line becomes "#" and the
// signature its qualified name ("Quorbel::StdException::AsString"), without
// template arguments, which each compiler names differently.
inline std::string Normalized(const std::string& report) {
    static const std::regex place(
        "(<File>common/StdException/[^<]*</File><Line>)[0-9]+(</Line><FuncSig>)[^(]*?[*&]?([^ "
        "(*&]+)\\(.*?(</FuncSig>)");
    static const std::regex arguments("(Quorbel::\\w+)<[\\w:]+>::");
    return std::regex_replace(std::regex_replace(report, place, "$1#$2$3$4"), arguments, "$1<T>::");
}

// The full-detail XML report, normalized, of the family exception that op lets escape.
template <class Op>
std::string Escaped(Op op) {
    try {
        op();
    } catch (StdException& x) {
        x.SetDetailLevel(Quorbel::FullDetail);
        return Normalized(x.AsXML());
    } catch (...) {
        return "(foreign exception)";
    }
    return "(nothing escaped)";
}

// A locale that groups digits by thousands, as many named locales do. Where
// STDEXCEPTION_GROUPING is set in the environment (CTest runs the tests of
// the records, the guards and the reports a second time so), it is the global
// locale from the start, and every report must still be the one expected.
struct Grouping : std::numpunct<char> {
    char do_thousands_sep() const override { return ','; }
    std::string do_grouping() const override { return "\3"; }
};
inline bool GroupDigits() {
    if (std::getenv("STDEXCEPTION_GROUPING") != nullptr)
        std::locale::global(std::locale(std::locale::classic(), new Grouping));
    return true;
}
[[maybe_unused]] static const bool kGroupDigits = GroupDigits();

// Restores the module-wide settings when a test ends.
struct ModuleScope {
    ~ModuleScope() {
        StdException::SetDefaultDetailLevel(Quorbel::FullDetail);
        StdException::SetDefaultReportingStrategy(nullptr);
        StdException::SetFallbackReportingStrategy(nullptr);
    }
};

}  // namespace probes

#endif
