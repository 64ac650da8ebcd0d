// The journal strategy against a real systemd-journald, its entries read back
// by journalctl -o json and nlohmann's parser. Where no journal runs, the
// tests start journald themselves (as root), with rate limiting off, and stop
// it when they end; where that cannot be done, they are skipped.

#include <StdException/Guard>
#include <StdException/Journal>
#include <StdException/ThrowSite>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "Probes.h"

using namespace Quorbel;
using namespace probes;
using namespace std::string_literals;
typedef std::map<std::string, std::string> Entry;

namespace {

const char kSocket[] = "/run/systemd/journal/socket";
const char kJournald[] = "/lib/systemd/systemd-journald";
const char kDropIn[] = "/etc/systemd/journald.conf.d/zz-stdexception-test.conf";

// Whether a journald takes datagrams at its socket; a socket file that a
// journald left behind refuses them.
bool JournalRuns() {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, kSocket);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool runs = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return runs;
}

// The journal of the tests: the running one, else one started here.
struct Journald : testing::Environment {
    void SetUp() override {
        if (JournalRuns()) return;
        if (geteuid() != 0 || access(kJournald, X_OK) != 0) {
            skipped = "no journal runs, and only root can start "s + kJournald;
            return;
        }
        JournalReportingStrategy before;
        before.Report(App("before any journal"));
        errorWithout = before.LastError();
        mkdir("/etc/systemd/journald.conf.d", 0755);
        std::ofstream(kDropIn) << "[Journal]\nRateLimitIntervalSec=0\nStorage=volatile\n";
        pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // ends with the tests, should they crash
            const int null = open("/dev/null", O_RDWR);
            dup2(null, 1);
            dup2(null, 2);
            execl(kJournald, kJournald, static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 100 && !JournalRuns(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!JournalRuns()) skipped = "systemd-journald did not start"s;
    }
    void TearDown() override {
        if (pid <= 0) return;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        unlink(kDropIn);
    }

    pid_t pid = 0;
    static inline std::string skipped;   // why the tests cannot run; empty when they can
    static inline int errorWithout = 1;  // LastError of a report before journald started
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
// left out, once count of them are there (at most 10 seconds).
std::vector<Entry> Entries(const std::string& run, std::size_t count, const char* only = "") {
    std::vector<Entry> entries;
    const std::string command =
        "journalctl -o json --all --no-pager "s + only + " EXCEPTION_FIELD_RUN=" + run;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (entries.size() < count && std::chrono::steady_clock::now() < deadline) {
        entries.clear();
        const std::unique_ptr<FILE, int (*)(FILE*)> out(popen(command.c_str(), "r"), pclose);
        std::string text;
        for (char buffer[4096]; std::size_t n = std::fread(buffer, 1, sizeof buffer, out.get());)
            text.append(buffer, n);
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            Entry entry;
            const nlohmann::json parsed = nlohmann::json::parse(line);  // items() refers to it
            for (const auto& field : parsed.items())
                if (field.key()[0] != '_') entry[field.key()] = Bytes(field.value());
            entries.push_back(entry);
        }
        if (entries.size() < count) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return entries;
}

const std::string kRun = std::to_string(getpid()) + "-" + std::to_string(time(nullptr));

// The exception that a guard makes of what body throws, with the run's field.
template <class Body>
std::unique_ptr<StdException> Translated(Body body) {
    try {
        QUORBEL_GUARD("", "", body);
    } catch (const StdException& e) {
        std::unique_ptr<StdException> copy(e.clone());
        copy->SetField("run", kRun);
        return copy;
    }
    return nullptr;
}

// Each kind, its fields of any bytes and of every kind of value, at the
// strategy's level and under its identifier: the whole entry.
TEST(Journal, EachKindGivesOneEntryWithEveryFieldExact) {
    SKIP_WITHOUT_JOURNAL();
    AppException app("src/load.cpp", 12, "void Load(int)", "n(1)", "", "bad \xFF\n\0 bytes"s);
    app.SetField("run", kRun);
    app.SetField("user id", "r\xC3\xA9\n\0\x01x"s);
    app.SetField("count", -3);
    app.SetField("size", 5u);
    app.SetField("ratio", 0.1);
    app.SetField("ok", true);
    const auto cpp = Translated([] { throw std::out_of_range("index 7"); });
    const auto unexpected = Translated([] { throw 42; });
    BadHandlerException bad("h.cpp", 3, "void H()", "", "", &app, cpp.get());
    bad.SetField("run", kRun);
    const std::string thrown = GetThrownType(*unexpected).empty() ? "UnexpectedException" : "int";
    struct {
        const StdException& e;
        JournalReportingStrategy strategy;
        std::string message, type, exceptionMessage, identifier;
    } rows[] = {
        {app, JournalReportingStrategy(LOG_ERR, "stdexception-test"),
         "probes::AppException: bad \xFF\n\0 bytes"s, "probes::AppException", "bad \xFF\n\0 bytes"s,
         "stdexception-test"},
        {*cpp, JournalReportingStrategy(LOG_WARNING), "CPPException: std::out_of_range: index 7",
         "std::out_of_range", "index 7", "stdexception_journal_tests"},
        {*unexpected, JournalReportingStrategy(),
         "UnexpectedException: " + unexpected->DisplayValue(), thrown, unexpected->DisplayValue(),
         "stdexception_journal_tests"},
        {bad, JournalReportingStrategy(), "BadHandlerException: " + bad.DisplayValue(),
         "BadHandlerException", bad.DisplayValue(), "stdexception_journal_tests"},
    };
    for (auto& row : rows) {
        row.strategy.Report(row.e);
        EXPECT_EQ(row.strategy.LastError(), 0);
    }
    const std::vector<Entry> entries = Entries(kRun, 4);
    ASSERT_EQ(entries.size(), 4u);
    for (std::size_t i = 0; i != 4; ++i) {
        SCOPED_TRACE(i);
        const StdException& e = rows[i].e;
        const CallTraceEntry& origin = e.GetCallTrace().back();
        Entry expected = {{"MESSAGE", rows[i].message},
                          {"PRIORITY", i == 1 ? "4" : "3"},
                          {"CODE_FILE", origin.file},
                          {"CODE_LINE", std::to_string(origin.line)},
                          {"CODE_FUNC", origin.funcsig},
                          {"EXCEPTION_TYPE", rows[i].type},
                          {"EXCEPTION_MESSAGE", rows[i].exceptionMessage},
                          {"EXCEPTION_JSON", AsJSON(e)},
                          {"EXCEPTION_TEXT", AsReadable(e)},
                          {"EXCEPTION_FIELD_RUN", kRun},
                          {"SYSLOG_IDENTIFIER", rows[i].identifier}};
        if (i == 0)
            expected.insert({{"EXCEPTION_FIELD_USER_ID", "r\xC3\xA9\n\0\x01x"s},
                             {"EXCEPTION_FIELD_COUNT", "-3"},
                             {"EXCEPTION_FIELD_SIZE", "5"},
                             {"EXCEPTION_FIELD_RATIO", "0.1"},
                             {"EXCEPTION_FIELD_OK", "true"}});
        EXPECT_EQ(entries[i], expected);
    }
}

// Eight threads reporting through one strategy at once: every entry arrives.
TEST(Journal, EightThreadsOfAThousandReportsLoseNoEntry) {
    SKIP_WITHOUT_JOURNAL();
    const std::string run = kRun + "-threads";
    JournalReportingStrategy strategy(LOG_ERR, "stdexception-test");
    std::atomic<int> failed(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int n = 0; n < 1000; ++n) {
                AppException e = App("burst");
                e.SetField("run", run);
                e.SetField("n", t * 1000 + n);
                strategy.Report(e);
                failed += strategy.LastError() != 0;
            }
        });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failed.load(), 0);
    std::set<std::string> numbers;
    for (const Entry& entry : Entries(run, 8000, "--output-fields=EXCEPTION_FIELD_N"))
        numbers.insert(entry.at("EXCEPTION_FIELD_N"));
    EXPECT_EQ(numbers.size(), 8000u);
    EXPECT_EQ(*numbers.begin(), "0");
    EXPECT_EQ(*numbers.rbegin(), "999");  // as text, the greatest of 0 to 7999
}

// Before the tests started journald, a report went nowhere, without throwing,
// and the strategy said why.
TEST(Journal, WithoutAJournalTheStrategySaysSo) {
    if (Journald::errorWithout == 1)
        GTEST_SKIP() << "the tests did not start the journal themselves";
    EXPECT_TRUE(Journald::errorWithout == -ENOENT || Journald::errorWithout == -ECONNREFUSED)
        << Journald::errorWithout;
}

// Names of fields, descriptions and clones, which need no journal.
TEST(Journal, NamesDescriptionsAndClones) {
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
