// The journal strategy against a real systemd-journald (journal.sh starts one
// where none runs), its entries read back through libsystemd's reader.

#include <StdException/Guard>
#include <StdException/Journal>
#include <StdException/ThrowSite>

#include <systemd/sd-journal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <map>
#include <memory>
#include <thread>

#include "Probes.h"

using namespace Quorbel;
using namespace probes;
using namespace std::string_literals;
typedef std::map<std::string, std::string> Entry;

namespace {

const std::string kRun = std::to_string(getpid()) + "-" + std::to_string(time(nullptr));

// The entries of this run, the journal's own fields (starting with "_") left
// out, once count of them are there (at most about 10 seconds).
std::vector<Entry> Entries(const std::string& run, std::size_t count) {
    std::vector<Entry> entries;
    const std::string match = "EXCEPTION_FIELD_RUN=" + run;
    for (int tries = 0; entries.size() < count && tries < 100; ++tries) {
        if (tries > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        entries.clear();
        sd_journal* journal = nullptr;
        if (sd_journal_open(&journal, SD_JOURNAL_LOCAL_ONLY) < 0) continue;
        sd_journal_set_data_threshold(journal, 0);  // values of any length
        sd_journal_add_match(journal, match.data(), match.size());
        const void* data;
        std::size_t length;
        SD_JOURNAL_FOREACH(journal) {
            Entry& entry = entries.emplace_back();
            SD_JOURNAL_FOREACH_DATA(journal, data, length) {
                const std::string field(static_cast<const char*>(data), length);
                const std::size_t equals = field.find('=');
                if (field[0] != '_') entry[field.substr(0, equals)] = field.substr(equals + 1);
            }
        }
        sd_journal_close(journal);
    }
    return entries;
}

// An application's kind, a CPPException and an UnexpectedException, fields of
// any bytes and of every kind of value, at the strategy's level and under its
// identifier: the whole entry, its fields written as its EXCEPTION_JSON
// writes them (reals with a fraction or an exponent).
TEST(JournalTest, EachKindGivesOneEntryWithItsFieldsAsInItsJSON) {
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
    }
}

// Eight threads reporting through one strategy at once: every entry arrives.
TEST(JournalTest, EightThreadsOfAThousandReportsLoseNoEntry) {
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
    EXPECT_EQ(Entries(run, 8000).size(), 8000u);
}

// A report through the library's clone of the registered strategy that went
// nowhere: the registered strategy says why. journal.sh runs this without a
// journal and names the error that it expects.
TEST(JournalTest, WithoutAJournalTheRegisteredStrategySaysWhy) {
    const char* const error = std::getenv("STDEXCEPTION_JOURNAL_ERROR");
    if (error == nullptr) GTEST_SKIP() << "journal.sh runs this where no journal runs";
    ModuleScope module;
    const JournalReportingStrategy registered;
    StdException::SetDefaultReportingStrategy(&registered);
    App("no journal").ReportException();
    EXPECT_EQ(registered.LastError(), std::atoi(error));
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
