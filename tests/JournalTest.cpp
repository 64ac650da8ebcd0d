// The journal strategy against a real systemd-journald, its entries read back
// by journalctl -o json --all and nlohmann's parser. Where no journal runs,
// the tests start journald themselves (as root), with rate limiting off, in a
// mount namespace of their own that nothing outlives; where that cannot be
// done, they are skipped.

#include <StdException/Guard>
#include <StdException/Journal>
#include <StdException/ThrowSite>

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

#include "Probes.h"

using namespace Quorbel;
using namespace probes;
using namespace std::string_literals;
typedef std::map<std::string, std::string> Entry;

namespace {

const char kJournald[] = "/lib/systemd/systemd-journald";
const std::string kRun = std::to_string(getpid()) + "-" + std::to_string(time(nullptr));

// Whether a journal takes entries.
bool JournalRuns() {
    JournalReportingStrategy probe;
    probe.Report(App("probe"));
    return probe.LastError() == 0;
}

// The journal of the tests: the running one, else a journald of their own.
struct Journald : testing::Environment {
    void SetUp() override {
        if (!JournalRuns()) skipped = Start();
    }
    // Start: starts journald where /run and /etc/systemd are empty file
    // systems in memory, seen by this process and its children alone: its
    // sockets, its journal and its configuration go when the tests end, and
    // no other program (a later one, tests run beside) ever sees them.
    // Returns why it could not, or "".
    std::string Start() {
        if (access(kJournald, X_OK) != 0) return "no journal runs, and no "s + kJournald;
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/run", "tmpfs", 0, nullptr) != 0 ||
            mount("tmpfs", "/etc/systemd", "tmpfs", 0, nullptr) != 0)
            return "no journal runs, and none of the tests' own: "s + std::strerror(errno);
        const JournalReportingStrategy registered;  // the library reports through its clone
        StdException::SetDefaultReportingStrategy(&registered);
        App("no journal yet").ReportException();
        StdException::SetDefaultReportingStrategy(nullptr);
        errorWithout = registered.LastError();
        std::ofstream("/etc/systemd/journald.conf")
            << "[Journal]\nRateLimitIntervalSec=0\nStorage=volatile\n";
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // ends with the tests, should they crash
            execl(kJournald, kJournald, static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && !JournalRuns(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return JournalRuns() ? "" : "systemd-journald did not start";
    }
    void TearDown() override {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }

    pid_t pid = 0;
    static inline std::string skipped;   // why the tests cannot run; empty when they can
    static inline int errorWithout = 1;  // of a registered strategy before journald started
};
[[maybe_unused]] const auto* const journald = testing::AddGlobalTestEnvironment(new Journald);

#define SKIP_WITHOUT_JOURNAL() \
    if (!Journald::skipped.empty()) GTEST_SKIP() << Journald::skipped

// A value of journalctl -o json: a string, or the bytes as numbers where
// they are not printable UTF-8.
std::string Bytes(const nlohmann::json& value) {
    if (value.is_string()) return value.get<std::string>();
    std::string bytes;
    for (const nlohmann::json& byte : value) bytes += char(byte.get<int>());
    return bytes;
}

// The entries of this run, the journal's own fields (starting with "_")
// left out, once count of them are there (at most about 10 seconds).
std::vector<Entry> Entries(const std::string& run, std::size_t count, const char* only = "") {
    std::vector<Entry> entries;
    const std::string command =
        "journalctl -o json --all --no-pager "s + only + " EXCEPTION_FIELD_RUN=" + run;
    for (int tries = 0; entries.size() < count && tries < 100; ++tries) {
        entries.clear();
        const std::unique_ptr<FILE, int (*)(FILE*)> out(popen(command.c_str(), "r"), pclose);
        std::string text;
        for (char buffer[4096]; std::size_t n = std::fread(buffer, 1, sizeof buffer, out.get());)
            text.append(buffer, n);
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            const nlohmann::json parsed = nlohmann::json::parse(line);  // items() refers to it
            Entry& entry = entries.emplace_back();
            for (const auto& field : parsed.items())
                if (field.key()[0] != '_') entry[field.key()] = Bytes(field.value());
        }
        if (entries.size() < count) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return entries;
}

// The fields of a JSON report under their journal names, each value as the
// report writes it: a string's text, a number or boolean as it stands there.
Entry FieldsOfJSON(const std::string& json) {
    Entry fields;
    const nlohmann::json parsed = nlohmann::json::parse(json);  // items() refers to it
    for (const auto& field : parsed.at("fields").items()) {
        const std::size_t at = json.find("\"" + field.key() + "\":", json.find("\"fields\":{")) +
                               field.key().size() + 3;
        fields[JournalReportingStrategy::FieldName(field.key())] =
            field.value().is_string() ? field.value().get<std::string>()
                                      : json.substr(at, json.find_first_of(",}", at) - at);
    }
    return fields;
}

// An application's kind, a CPPException and an UnexpectedException, fields of
// any bytes and of every kind of value, at the strategy's level and under its
// identifier: the whole entry, its fields written as its EXCEPTION_JSON
// writes them.
TEST(JournalTest, EachKindGivesOneEntryWithItsFieldsAsInItsJSON) {
    SKIP_WITHOUT_JOURNAL();
    const struct {
        std::string key;
        FieldValue value;
        std::string text;
    } fields[] = {
        {"run", kRun, kRun},         {"user id", "r\xC3\xA9\n\0\x01x"s, "r\xC3\xA9\n\0\x01x"s},
        {"count", -3, "-3"},         {"size", 5u, "5"},
        {"items", 99999, "99999"},   {"amount", 99999.0, "99999.0"},
        {"limit", 1000.0, "1000.0"}, {"big", 1e15, "1e+15"},
        {"ratio", 0.1, "0.1"},       {"none", std::nan(""), "NaN"},
        {"ok", true, "true"}};
    AppException app("src/load.cpp", 12, "void Load(int)", "n(1)", "", "bad \xFF\n\0 bytes"s);
    Entry appFields;
    for (const auto& field : fields) {
        app.SetField(field.key, field.value);
        appFields[JournalReportingStrategy::FieldName(field.key)] = field.text;
    }
    CPPException cpp("c.cpp", 5, "int F()", "", "", std::out_of_range("index 7"));
    cpp.SetField("run", kRun);
    std::unique_ptr<StdException> unexpected;
    try {
        QUORBEL_GUARD("", "", [] { throw 42; });
    } catch (const StdException& e) {
        unexpected.reset(e.clone());
    }
    unexpected->SetField("run", kRun);
    const std::string thrown = GetThrownType(*unexpected).empty() ? "" : "int: ";
    const std::string program = "stdexception_journal_tests";
    struct {
        const StdException& e;
        JournalReportingStrategy strategy;
        std::string message, type, exceptionMessage, identifier;
    } rows[] = {
        {app, JournalReportingStrategy(LOG_ERR, "stdexception-test"),
         "probes::AppException: bad \xFF\n\0 bytes"s, "probes::AppException", "bad \xFF\n\0 bytes"s,
         "stdexception-test"},
        {cpp, JournalReportingStrategy(LOG_WARNING), "CPPException: std::out_of_range: index 7",
         "std::out_of_range", "index 7", program},
        {*unexpected, JournalReportingStrategy(),
         "UnexpectedException: " + thrown + unexpected->DisplayValue(),
         thrown.empty() ? "UnexpectedException" : "int", unexpected->DisplayValue(), program},
    };
    for (auto& row : rows) {
        row.strategy.Report(row.e);
        EXPECT_EQ(row.strategy.LastError(), 0);
    }
    const std::vector<Entry> entries = Entries(kRun, 3);
    ASSERT_EQ(entries.size(), 3u);
    for (std::size_t i = 0; i != 3; ++i) {
        SCOPED_TRACE(i);
        const StdException& e = rows[i].e;
        const CallTraceEntry& origin = e.GetCallTrace().back();
        const Entry ownFields = i == 0 ? appFields : Entry{{"EXCEPTION_FIELD_RUN", kRun}};
        Entry expected = {{"MESSAGE", rows[i].message},
                          {"PRIORITY", i == 1 ? "4" : "3"},
                          {"CODE_FILE", origin.file},
                          {"CODE_LINE", std::to_string(origin.line)},
                          {"CODE_FUNC", origin.funcsig},
                          {"EXCEPTION_TYPE", rows[i].type},
                          {"EXCEPTION_MESSAGE", rows[i].exceptionMessage},
                          {"EXCEPTION_JSON", AsJSON(e)},
                          {"EXCEPTION_TEXT", AsReadable(e)},
                          {"SYSLOG_IDENTIFIER", rows[i].identifier}};
        expected.insert(ownFields.begin(), ownFields.end());
        EXPECT_EQ(entries[i], expected);
        EXPECT_EQ(FieldsOfJSON(entries[i].at("EXCEPTION_JSON")), ownFields);
    }
}

// Eight threads reporting through one strategy at once: every entry arrives.
TEST(JournalTest, EightThreadsOfAThousandReportsLoseNoEntry) {
    SKIP_WITHOUT_JOURNAL();
    const std::string run = kRun + "-threads";
    JournalReportingStrategy strategy(LOG_ERR, "stdexception-test");
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int n = 0; n < 1000; ++n) {
                AppException e = App("burst");
                e.SetField("run", run);
                e.SetField("n", t * 1000 + n);
                strategy.Report(e);
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(Entries(run, 8000, "--output-fields=EXCEPTION_FIELD_N").size(), 8000u);
}

// Before the tests started journald, a report through the library's clone of
// the registered strategy went nowhere, and the registered strategy said why.
TEST(JournalTest, WithoutAJournalTheRegisteredStrategySaysWhy) {
    if (Journald::errorWithout == 1)
        GTEST_SKIP() << "the tests did not start the journal themselves";
    EXPECT_EQ(Journald::errorWithout, -ENOENT);
}

// Names of fields and descriptions, which need no journal.
TEST(JournalTest, FieldNamesAndDescriptions) {
    EXPECT_EQ(JournalReportingStrategy::FieldName("user-id.2é"), "EXCEPTION_FIELD_USER_ID_2__");
    EXPECT_EQ(JournalReportingStrategy::FieldName(std::string(60, 'k')).size(), 64u);
    const JournalReportingStrategy warning(LOG_WARNING, "svc");
    const std::unique_ptr<CReportingStrategy> clone(warning.clone());
    std::ostringstream printed;
    printed << *clone << " | " << JournalReportingStrategy();
    EXPECT_EQ(printed.str(),
              "entries of priority 4 to the systemd journal as svc | "
              "entries of priority 3 to the systemd journal");
}

}  // namespace
