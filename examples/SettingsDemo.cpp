// SettingsDemo: a settings loader whose failures travel up through guarded
// layers and come out as text, XML and JSON reports (options: see usage below).
//
// Without --input it reads a built-in sample whose port is not a number, so
// the failure path runs: std::stoi fails in ParseNumber, whose guard turns the
// standard exception into a CPPException; ApplySetting's guard adds its entry;
// ParseSettings replaces the failure by a SettingsException that names the
// setting and keeps the CPPException as its previous exception; LoadSettings
// and main add their entries; main prints the reports and hands the exception
// to the reporting strategies.
//
// Exit status: 0 loaded (or --help), 1 loading failed (reports printed), 2 bad
// options (what is wrong and the usage on standard error).

#include <StdException/BasicException>
#include <StdException/Guard>
#include <StdException/StdException>
#include <StdException/Strategies>
#include <StdException/ThrowSite>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

// The sample read when no --input is given; "eighty" makes std::stoi fail.
const char* const builtInSample =
    "# demo settings\n"
    "name = quorbel\n"
    "port = eighty\n"
    "threads = 4\n";

const char* const usage =
    "usage: stdexception_demo [--detail full|medium|low] [--journal]\n"
    "                         [--format text|xml|escaped|json|readable|both] [--input PATH]\n"
    "                         [--debug-dir DIR]\n"
    "       stdexception_demo --help | -h\n"
    "Without --input the built-in sample is loaded; --journal logs the failure to the journal;\n"
    "--debug-dir looks the frames' debugging information up in DIR too.\n";
// ReportToJournal: --journal's entry of failure (DemoJournal.cpp), or why there is none.
void ReportToJournal(const Quorbel::StdException& failure);

// SettingsException: the application's own member of the family, built from
// the five origin values and the problem. BasicException gives it clone,
// TypeName (its class name) and the problem as its message, headed "Settings
// error: "; trace, chain, reports and strategies come from StdException. Where
// the problem lies (source, line, key) it carries as fields, data to tools.
struct SettingsException : Quorbel::BasicException<SettingsException> {
    using BasicException::BasicException;
    std::string DisplayValue() const override { return "Settings error: " + Message(); }
};

// ConsoleStrategy: reports an exception as one line on a console stream, marked with its name.
class ConsoleStrategy : public Quorbel::CReportingStrategy {
public:
    ConsoleStrategy(const std::string& name, std::ostream& console)
        : name(name), console(&console) {}
    ConsoleStrategy* clone() const override { return new ConsoleStrategy(*this); }
    void Report(const Quorbel::StdException& exception) override {
        const std::string value = exception.DisplayValue();  // may hold several lines
        *console << '[' << *this << "] " << exception.TypeName() << ": "
                 << value.substr(0, value.find('\r')) << '\n';
    }
    std::ostream& Print(std::ostream& os) const override { return os << name << " strategy"; }

private:
    std::string name;
    std::ostream* console;
};

struct Settings {
    std::string name = "unnamed";
    int port = 0;
    int threads = 1;
};

static std::string Trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// Every guarded function below describes its own arguments as name(value)
// groups; the guard records that text only when a failure passes through.

// ParseNumber: the whole of text as an int. std::stoi throws a standard
// exception on bad input, which leaves the guard as a CPPException.
static int ParseNumber(const std::string& text) {
    const std::string parameters = "text(" + text + ")";
    QUORBEL_TRY {
        std::size_t used = 0;
        const int number = std::stoi(text, &used);
        if (used != text.size())
            QUORBEL_THROW(SettingsException, parameters, "",
                          "'" + text + "' is not a whole number");
        return number;
    }
    QUORBEL_CATCH(parameters, "whole numbers only")
}

// ApplySetting: stores one key/value pair in settings.
static void ApplySetting(Settings& settings, const std::string& key, const std::string& value) {
    const std::string parameters = "key(" + key + ") value(" + value + ")";
    QUORBEL_TRY {
        if (key == "name")
            settings.name = value;
        else if (key == "port")
            settings.port = ParseNumber(value);
        else if (key == "threads")
            settings.threads = ParseNumber(value);
        else
            QUORBEL_THROW(SettingsException, parameters, "", "unknown setting '" + key + "'");
    }
    QUORBEL_CATCH(parameters, "")
}

// ParseSettings: reads "key = value" lines; blank lines and '#' comments are
// skipped. A value that a standard-library call rejected is reported as a
// SettingsException naming the setting, with the original failure chained.
// Every SettingsException leaving it carries the source, line and key as fields.
// It has no guard of its own: what its callees raise comes out of their
// guards, and what it raises itself has it as its origin, so a report names
// it once.
static Settings ParseSettings(std::istream& in, const std::string& source) {
    const std::string parameters = "source(" + source + ")";
    Settings settings;
    std::string line;
    for (unsigned number = 1; std::getline(in, line); ++number) {
        line = Trim(line);
        if (line.empty() || line[0] == '#') continue;
        const std::string where = source + ", line " + std::to_string(number) + ": ";
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos) {
            SettingsException malformed =
                QUORBEL_MAKE(SettingsException, parameters, "", where + "expected key = value");
            malformed.SetField("source", source);
            malformed.SetField("line", number);
            throw malformed;
        }
        const std::string key = Trim(line.substr(0, equals));
        try {
            ApplySetting(settings, key, Trim(line.substr(equals + 1)));
        } catch (SettingsException& problem) {
            // What only this level knows, added on the way up.
            problem.SetField("source", source);
            problem.SetField("line", number);
            problem.SetField("key", key);
            throw;
        } catch (const Quorbel::CPPException& failure) {
            // Built here but not yet thrown, so that the failure can be
            // chained to it first.
            SettingsException replacement =
                QUORBEL_MAKE(SettingsException, parameters, "replacing a failed conversion",
                             where + "setting '" + key + "' is invalid");
            replacement.SetField("source", source);
            replacement.SetField("line", number);
            replacement.SetField("key", key);
            replacement.AddPreviousException(&failure);
            throw replacement;
        }
    }
    return settings;
}

// ReadInput: the whole text of the file at path. A file that cannot be opened
// or read (missing, a directory, no permission) fails as a SettingsException
// that names the path and the system's reason.
static std::string ReadInput(const std::string& path) {
    std::ifstream file(path);
    std::string text, line;
    while (std::getline(file, line)) text += line + '\n';
    if (!file.eof()) {
        const std::string reason = std::strerror(errno);
        SettingsException unreadable = QUORBEL_MAKE(SettingsException, "path(" + path + ")", "",
                                                    "cannot read '" + path + "': " + reason);
        unreadable.SetField("source", path);
        throw unreadable;
    }
    return text;
}

// LoadSettings: the settings from the file at path, or from the built-in
// sample when path is empty.
static Settings LoadSettings(const std::string& path) {
    const std::string parameters = "path(" + path + ")";
    QUORBEL_TRY {
        std::istringstream text(path.empty() ? builtInSample : ReadInput(path));
        return ParseSettings(text, path.empty() ? "built-in sample" : path);
    }
    QUORBEL_CATCH(parameters, "")
}

struct Options {
    std::string detail = "full";
    std::string format = "text";
    std::string input;     // empty: the built-in sample
    std::string debugDir;  // empty: the system's directories only
    bool help = false, journal = false;
};

// SetValue: stores value (argv's null pointer after the last argument when
// option came last) in target if it is one of the accepted values ("a|b|c";
// none given: any but the empty one); otherwise says what is wrong.
static std::string SetValue(const std::string& option, const char* value,
                            const std::string& accepted, std::string& target) {
    if (value == nullptr) return "missing value for " + option;
    const std::string text = value;
    const bool ok = accepted.empty()
                        ? !text.empty()
                        : ("|" + accepted + "|").find("|" + text + "|") != std::string::npos;
    if (!ok)
        return "bad value '" + text + "' for " + option + "; expected " +
               (accepted.empty() ? "a path" : accepted);
    target = value;
    return "";
}

// ParseOptions: reads the command line into options; returns what is wrong
// with it, or "" when nothing is.
static std::string ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        std::string problem;
        if (option == "--help" || option == "-h" || option == "--journal")
            (option == "--journal" ? options.journal : options.help) = true;
        else if (option == "--detail")
            problem = SetValue(option, argv[++i], "full|medium|low", options.detail);
        else if (option == "--format")
            problem =
                SetValue(option, argv[++i], "text|xml|escaped|json|readable|both", options.format);
        else if (option == "--input")
            problem = SetValue(option, argv[++i], "", options.input);
        else if (option == "--debug-dir")
            problem = SetValue(option, argv[++i], "", options.debugDir);
        else
            problem = "unknown option '" + option + "'";
        if (!problem.empty()) return problem;
    }
    return "";
}

int main(int argc, char** argv) {
    Options options;
    const std::string problem = ParseOptions(argc, argv, options);
    if (!problem.empty()) {
        std::cerr << "stdexception_demo: " << problem << '\n' << usage;
        return 2;
    }
    if (options.help) {
        std::cout << usage;
        return 0;
    }

    // Where a stripped build of the demo finds its debugging information.
    if (!options.debugDir.empty())
        Quorbel::SetDebugFileDirectories(std::vector<std::string>(1, options.debugDir));

    // Module-wide settings first: records take the default detail level when
    // they are built, and the library keeps clones of the strategies.
    Quorbel::StdException::SetDefaultDetailLevel(options.detail == "full" ? Quorbel::FullDetail
                                                 : options.detail == "medium"
                                                     ? Quorbel::MediumDetail
                                                     : Quorbel::LowDetail);
    // The one-line formats are for tools, which read standard output as JSON
    // Lines or XML: the strategies' lines go to standard error there.
    const bool forTools = options.format == "json" || options.format == "escaped";
    std::ostream& console = forTools ? std::cerr : std::cout;
    const ConsoleStrategy defaultStrategy("default", console),
        fallbackStrategy("fallback", console);
    Quorbel::StdException::SetDefaultReportingStrategy(&defaultStrategy);
    Quorbel::StdException::SetFallbackReportingStrategy(&fallbackStrategy);

    const std::string parameters = "detail(" + options.detail + ") format(" + options.format +
                                   ") input(" + options.input + ")";
    try {
        const Settings settings =
            QUORBEL_GUARD(parameters, "", [&] { return LoadSettings(options.input); });
        std::cout << "Loaded: name=" << settings.name << " port=" << settings.port
                  << " threads=" << settings.threads << '\n';
        return 0;
    } catch (Quorbel::StdException& failure) {
        const bool both = options.format == "both";
        if (options.format == "text" || both) std::cout << "Text report:\n" << failure;
        if (options.format == "xml" || both)
            std::cout << "XML report:\n" << failure.AsXML() << '\n';
        // For people, with the frames of the throw sites where the capture
        // library is loaded.
        if (options.format == "readable") std::cout << Quorbel::AsReadable(failure);
        if (forTools) {
            // One line, as a log pipeline or an XML tool reads it, written by
            // the stream strategy, which is named on standard error.
            Quorbel::StreamReportingStrategy toOutput(
                std::cout, options.format == "json"
                               ? Quorbel::StreamReportingStrategy::JSONReport
                               : Quorbel::StreamReportingStrategy::EscapedXMLReport);
            std::cerr << toOutput << ":\n";
            toOutput.Report(failure);
        }
        failure.ReportException();          // its own strategy, else the module default
        failure.FallbackReportException();  // the module fallback
        if (options.journal) ReportToJournal(failure);
        return 1;
    }
}
