// Probe classes shared by the tests: application-defined exceptions and
// strategies that record what the library does with them.

#ifndef STDEXCEPTION_TESTS_PROBES_H
#define STDEXCEPTION_TESTS_PROBES_H

#include <StdException/StdException>

#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace probes {

using Quorbel::StdException;

// An application exception with a fixed name and a description of its own.
class AppException : public StdException {
public:
    AppException(const std::string& file, std::uint32_t line, const std::string& funcsig,
                 const std::string& parameters, const std::string& comment,
                 const std::string& what = "app failure")
        : StdException(file, line, funcsig, parameters, comment), what_(what) {}
    AppException* clone() const override { return new AppException(*this); }
    std::string TypeName() const override { return "AppException"; }
    std::string DisplayValue() const override { return what_; }

private:
    std::string what_;
};

// A short-hand AppException at a made-up place.
inline AppException MakeApp(const std::string& comment = "", std::uint32_t line = 1) {
    return AppException("app.src", line, "void app()", "", comment);
}

// An exception whose DisplayValue throws whatever Thrower throws.
template <class Thrower>
class ThrowingDisplay : public StdException {
public:
    explicit ThrowingDisplay(Thrower thrower = Thrower())
        : StdException("throw.src", 7, "void thrower()", "", ""), thrower_(thrower) {}
    ThrowingDisplay* clone() const override { return new ThrowingDisplay(*this); }
    std::string TypeName() const override { return "ThrowingDisplay"; }
    std::string DisplayValue() const override {
        thrower_();
        return "unreachable";
    }

private:
    Thrower thrower_;
};

struct ThrowsRuntimeError {
    void operator()() const { throw std::runtime_error("display failed"); }
};

// An application exception that is a standard exception too.
class DualException : public std::runtime_error, public StdException {
public:
    DualException()
        : std::runtime_error("dual"), StdException("dual.src", 3, "void dual()", "", "") {}
    DualException* clone() const override { return new DualException(*this); }
    std::string TypeName() const override { return "DualException"; }
    std::string DisplayValue() const override { return "dual"; }
};

// What a RecordingStrategy and its clones did, in order.
struct StrategyLog {
    int clones = 0;
    int destroyed = 0;
    std::vector<std::string> reports;  // "<name>:<DisplayValue of the exception>"
};

// A strategy that writes every clone, report and destruction to a shared log.
// Its Report runs an optional action afterwards (to throw, for instance).
class RecordingStrategy : public Quorbel::CReportingStrategy {
public:
    typedef void (*Action)(const StdException&);

    RecordingStrategy(StrategyLog& log, std::string name, Action action = nullptr)
        : log_(&log), name_(name), action_(action) {}
    RecordingStrategy(const RecordingStrategy& other) = default;
    ~RecordingStrategy() override { ++log_->destroyed; }
    RecordingStrategy* clone() const override {
        ++log_->clones;
        return new RecordingStrategy(*this);
    }
    void Report(const StdException& exception) override {
        log_->reports.push_back(name_ + ":" + exception.DisplayValue());
        if (action_ != nullptr) action_(exception);
    }
    std::ostream& Print(std::ostream& os) const override { return os << "Recording " << name_; }
    const std::string& Name() const { return name_; }

private:
    StrategyLog* log_;
    std::string name_;
    Action action_;
};

// A strategy whose clone() gives nothing.
class NullCloningStrategy : public Quorbel::CReportingStrategy {
public:
    NullCloningStrategy* clone() const override { return nullptr; }
    void Report(const StdException&) override {}
    std::ostream& Print(std::ostream& os) const override { return os; }
};

// The text of the n-th element called tag in an XML report, counted from 0.
inline std::string XmlField(const std::string& xml, const std::string& tag, int n = 0) {
    std::string::size_type at = 0;
    for (int i = 0; i <= n; ++i) {
        at = xml.find("<" + tag + ">", at);
        if (at == std::string::npos) return "(no " + tag + ")";
        at += tag.size() + 2;
    }
    return xml.substr(at, xml.find("</" + tag + ">", at) - at);
}

// The XML of one call-trace entry.
inline std::string XmlEntry(int position, const std::string& file, const std::string& line,
                            const std::string& funcsig, const std::string& parameters,
                            const std::string& comment) {
    return "<CallTraceEntry position=\"" + std::to_string(position) + "\"><File>" + file +
           "</File><Line>" + line + "</Line><FuncSig>" + funcsig + "</FuncSig><Params>" +
           parameters + "</Params><Comment>" + comment + "</Comment></CallTraceEntry>";
}

// The entry at position n of a report's outer call trace as a test expects a
// guard in the named operation to make it. File, line and signature are the
// compiler's, so they are read from the report; the signature is kept only if
// it names the operation.
inline std::string ExpectedEntry(const std::string& xml, int n, const std::string& operation,
                                 const std::string& parameters, const std::string& comment) {
    std::string funcsig = XmlField(xml, "FuncSig", n);
    if (funcsig.find(operation) == std::string::npos)
        funcsig = "(a signature naming " + operation + ")";
    return XmlEntry(n, XmlField(xml, "File", n), XmlField(xml, "Line", n), funcsig, parameters,
                    comment);
}

// A record "top" translated from "middle", translated from "bottom", each with one
// entry in "void f()" without parameters or comment, at a.src:1, b.src:2 and c.src:3.
inline AppException MakeChain() {
    AppException bottom("c.src", 3, "void f()", "", "", "bottom");
    AppException middle("b.src", 2, "void f()", "", "", "middle");
    middle.AddPreviousException(&bottom);
    AppException top("a.src", 1, "void f()", "", "", "top");
    top.AddPreviousException(&middle);
    return top;
}

// The module-wide settings for one test: a log for its strategies and, on destruction,
// the default detail level and both module strategy slots as the module starts them.
struct ModuleScope {
    StrategyLog log;  // still alive while the destructor deletes strategies that write to it
    ~ModuleScope() {
        StdException::SetDefaultDetailLevel(Quorbel::FullDetail);
        StdException::SetDefaultReportingStrategy(nullptr);
        StdException::SetFallbackReportingStrategy(nullptr);
    }
};

}  // namespace probes

#endif
