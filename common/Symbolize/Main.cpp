// stdexception-symbolize: the frames of reports from stripped programs filled
// in after the fact, from the modules' debugging information found by build
// ID (see usage below). Exit status: 0 every line read, 1 a line or an input
// that could not be read, or output that could not be written, 2 a bad
// command line.

#include "ReportLines.h"
#include "Resolver.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <getopt.h>
#include <unistd.h>

namespace {

const char* const program = "stdexception-symbolize";

const char* const usage =
    "Usage: stdexception-symbolize [OPTION]... [FILE]...\n"
    "Fill in the functions, files and lines of the throw-site frames of StdException's\n"
    "JSON reports (AsJSON), read from each FILE, or standard input when there is none\n"
    "or FILE is -, and write the reports to standard output, one line for each line read,\n"
    "in order.\n"
    "\n"
    "Input: one JSON report a line (a log of JSON Lines), or the journal's entries as\n"
    "'journalctl -o json --all' writes them, whose field EXCEPTION_JSON holds the report;\n"
    "the two may be mixed. For a journal entry the output is its report; an entry\n"
    "without EXCEPTION_JSON writes nothing (without --all, journalctl writes long\n"
    "values as null, which fails).\n"
    "\n"
    "Each frame of every \"throwSite\" array, the exception's and its nested\n"
    "exceptions', that has an \"offset\" and a \"buildId\" is described again from the\n"
    "debugging information of the module of that build ID, exactly as the capture\n"
    "library describes it in a process that has that information: \"function\",\n"
    "\"file\", \"line\", and the calls inlined there as frames of their own. Every other\n"
    "byte of the report stays as it came. A module is read from:\n"
    "  - the file at the frame's \"module\" path, if it is there with that build ID,\n"
    "    with its separate debug file looked up as below;\n"
    "  - DIR/.build-id/xx/rest.debug for each --debug-dir DIR, then for /usr/lib/debug\n"
    "    (xx the build ID's first two hex digits, rest the others), the layout of\n"
    "    Debian's -dbgsym packages and of 'objcopy --only-keep-debug' into such a tree.\n"
    "Separate debug files are also found by the name that .gnu_debuglink records, in\n"
    "the same directories. Local files only: never a debuginfod server, whatever\n"
    "DEBUGINFOD_URLS says. Each module is read once for the whole input. A frame\n"
    "whose module's debugging information is not found stays as it was.\n"
    "\n"
    "A frame whose build ID is a CodeView id (upper-case hex) names a Windows module,\n"
    "read from the file at its path or, by its file name NAME, from DIR/NAME or\n"
    "DIR/NAME/ID/NAME for each --debug-dir DIR, where that file has the same id; its\n"
    "DWARF is read by llvm-symbolizer from the PATH, and only calls with a file and a\n"
    "line are filled in.\n"
    "\n"
    "Options:\n"
    "  -d, --debug-dir=DIR   look for debug files in DIR before /usr/lib/debug;\n"
    "                        repeatable, searched in the order given\n"
    "  -f, --format=FORMAT   json (the default): the reports, one a line;\n"
    "                        readable: each report as AsReadable writes it, on lines\n"
    "                        of its own (a line that starts with no blank starts a report)\n"
    "  -v, --verbose         name on standard error each build ID (and module) whose\n"
    "                        debugging information was not found\n"
    "      --help            show this help and exit\n"
    "      --version         show the version and exit\n"
    "\n"
    "A line that is neither a report nor a journal entry holding one is named on\n"
    "standard error as FILE:LINE with what is wrong, written unchanged with --format\n"
    "json (not at all with readable), and the other lines go on; a blank line stays\n"
    "a blank line.\n"
    "\n"
    "Exit status: 0 when every line was read, 1 when a line or a FILE could not be read\n"
    "or the output not written, 2 for a bad command line.\n"
    "\n"
    "Examples:\n"
    "  stdexception-symbolize --debug-dir /srv/symbols service.log\n"
    "  journalctl -o json --all EXCEPTION_TYPE=SettingsException |\n"
    "      stdexception-symbolize --format readable\n";

void reportMissing(const std::string& buildId, const std::string& module) {
    std::fprintf(stderr, "%s: no debugging information for build ID %s (%s)\n", program,
                 buildId.c_str(), module.empty() ? "no module named" : module.c_str());
}

bool badUsage(const std::string& problem) {
    if (!problem.empty()) std::fprintf(stderr, "%s: %s\n", program, problem.c_str());
    std::fprintf(stderr, "Try '%s --help' for more information.\n", program);
    return false;
}

struct Options {
    std::vector<std::string> directories;
    Quorbel::Symbolize::OutputFormat format = Quorbel::Symbolize::OutputFormat::JSON;
    bool verbose = false;
    std::vector<std::string> files;
};

// Reads the command line into options; false for a bad one, said on
// standard error. help and version are set for those options.
bool readOptions(int argc, char** argv, Options& options, bool& help, bool& version) {
    static const option longOptions[] = {
        {"debug-dir", required_argument, nullptr, 'd'}, {"format", required_argument, nullptr, 'f'},
        {"verbose", no_argument, nullptr, 'v'},         {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},         {nullptr, 0, nullptr, 0}};
    int choice;
    while ((choice = getopt_long(argc, argv, "d:f:v", longOptions, nullptr)) != -1) {
        switch (choice) {
            case 'd': {
                std::string directory = optarg;
                if (directory.empty()) return badUsage("--debug-dir takes a directory, not ''");
                // The lookup takes absolute directories only.
                if (directory[0] != '/') {
                    char* here = getcwd(nullptr, 0);
                    if (here == nullptr)
                        return badUsage(std::string("cannot name the directory '") + optarg +
                                        "': " + std::strerror(errno));
                    directory = std::string(here) + "/" + directory;
                    std::free(here);
                }
                options.directories.push_back(directory);
                break;
            }
            case 'f':
                if (std::strcmp(optarg, "json") == 0)
                    options.format = Quorbel::Symbolize::OutputFormat::JSON;
                else if (std::strcmp(optarg, "readable") == 0)
                    options.format = Quorbel::Symbolize::OutputFormat::Readable;
                else
                    return badUsage(std::string("invalid argument '") + optarg +
                                    "' for '--format'; valid arguments are 'json', 'readable'");
                break;
            case 'v':
                options.verbose = true;
                break;
            case 'h':
                help = true;
                return true;
            case 'V':
                version = true;
                return true;
            default:  // getopt_long has said what is wrong
                return badUsage("");
        }
    }
    for (int i = optind; i < argc; ++i) options.files.push_back(argv[i]);
    if (options.files.empty()) options.files.push_back("-");
    return true;
}

// Symbolizes every line of input, named name in messages; false when a line
// could not be read.
bool symbolizeInput(std::FILE* input, const char* name, Quorbel::Symbolize::Resolver& resolver,
                    Quorbel::Symbolize::OutputFormat format) {
    bool good = true;
    char* buffer = nullptr;
    std::size_t capacity = 0;
    std::string line, out, problem;
    ssize_t length;
    for (unsigned long number = 1; (length = getline(&buffer, &capacity, input)) >= 0; ++number) {
        line.assign(buffer, std::size_t(length));
        if (!line.empty() && line.back() == '\n') line.pop_back();
        out.clear();
        if (line.find_first_not_of(" \t\r") == std::string::npos) {
            out = line + '\n';  // a blank line stays one
        } else if (!Quorbel::Symbolize::SymbolizeLine(line, resolver, format, out, problem)) {
            std::fprintf(stderr, "%s: %s:%lu: %s\n", program, name, number, problem.c_str());
            good = false;
            if (format == Quorbel::Symbolize::OutputFormat::JSON) out = line + '\n';
        }
        std::fwrite(out.data(), 1, out.size(), stdout);
    }
    if (std::ferror(input)) {
        std::fprintf(stderr, "%s: %s: %s\n", program, name, std::strerror(errno));
        good = false;
    }
    std::free(buffer);
    return good;
}

}  // namespace

// Flushes standard output; false, said on standard error, where writing it
// failed (a full disk, a closed pipe).
bool flushOutput() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    std::fprintf(stderr, "%s: standard output: %s\n", program, std::strerror(errno));
    return false;
}

int main(int argc, char** argv) {
    // Whatever the environment says, no debuginfod client of libdw's asks a
    // server: the debugging information is local or not found.
    unsetenv("DEBUGINFOD_URLS");
    Options options;
    bool help = false, version = false;
    if (!readOptions(argc, argv, options, help, version)) return 2;
    if (help) {
        std::fputs(usage, stdout);
        return flushOutput() ? 0 : 1;
    }
    if (version) {
        std::printf("%s (StdException) %s\n", program, STDEXCEPTION_SYMBOLIZE_VERSION);
        return flushOutput() ? 0 : 1;
    }
    Quorbel::Symbolize::Resolver resolver(options.directories);
    if (options.verbose) resolver.OnMissing(&reportMissing);
    bool good = true;
    for (const std::string& file : options.files) {
        const bool standardInput = file == "-";
        std::FILE* input = standardInput ? stdin : std::fopen(file.c_str(), "r");
        if (input == nullptr) {
            std::fprintf(stderr, "%s: %s: %s\n", program, file.c_str(), std::strerror(errno));
            good = false;
            continue;
        }
        good = symbolizeInput(input, standardInput ? "(standard input)" : file.c_str(), resolver,
                              options.format) &&
               good;
        if (!standardInput) std::fclose(input);
    }
    return flushOutput() && good ? 0 : 1;
}
