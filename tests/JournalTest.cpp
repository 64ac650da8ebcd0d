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

// Raises what a guard makes of a foreign exception: an UnexpectedException,
// which knows the thrown type where throw sites are captured. Outside any
// namespace and with a plain signature, so that every compiler names it alike.
void ThrowUnexpected() {
    QUORBEL_GUARD("", "", [] { throw 42; });
}

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
// any bytes and of every kind of value under keys of any characters, each at
// its strategy's priority and under its identifier: the whole entries and the
// strategies' descriptions in journal.txt, fields written as the JSON report
// writes them (reals with a fraction or an exponent). EXCEPTION_JSON and
// EXCEPTION_TEXT, which hold the frames of a throw site, are compared with the
// exception's reports instead (and EXCEPTION_FIELD_RUN, which finds them, is
// left out). Without the capture library the UnexpectedException knows no
// thrown type, so its entry names none: journal-without-capture.txt.
TEST(JournalTest, EachKindGivesOneEntryWithItsFieldsAsInItsJSON) {
    AppException app("src/load.cpp", 12, "void Load(int)", "n(1)", "", "bad \xFF\n\0 bytes"s);
    app.SetField("user-id.2\xC3\xA9", "r\xC3\xA9\n\0\x01x"s);
    app.SetField(std::string(60, 'k'), -3);
    app.SetField("size", 5u);
    app.SetField("limit", 1000.0);
    app.SetField("big", 1e15);
    app.SetField("none", std::nan(""));
    app.SetField("ok", true);
    CPPException cpp("c.cpp", 5, "int F()", "", "", std::out_of_range("index 7"));
    std::unique_ptr<StdException> unexpected;
    try {
        ThrowUnexpected();
    } catch (const StdException& e) {
        unexpected.reset(e.clone());
    }
    std::pair<StdException*, JournalReportingStrategy> rows[] = {
        {&app, JournalReportingStrategy(LOG_ERR, "stdexception-test")},
        {&cpp, JournalReportingStrategy(LOG_WARNING)},
        {unexpected.get(), JournalReportingStrategy()}};
    std::ostringstream out;
    for (auto& row : rows) {
        row.first->SetField("run", kRun);
        row.second.Report(*row.first);
        EXPECT_EQ(row.second.LastError(), 0);
        out << *std::unique_ptr<CReportingStrategy>(row.second.clone()) << "\n";
    }
    std::vector<Entry> entries = Entries(kRun, 3);
    ASSERT_EQ(entries.size(), 3u);
    for (std::size_t i = 0; i != 3; ++i) {
        EXPECT_EQ(entries[i]["EXCEPTION_JSON"], AsJSON(*rows[i].first));
        EXPECT_EQ(entries[i]["EXCEPTION_TEXT"], AsReadable(*rows[i].first));
        for (const char* name : {"EXCEPTION_JSON", "EXCEPTION_TEXT", "EXCEPTION_FIELD_RUN"})
            entries[i].erase(name);
        for (const auto& field : entries[i]) out << "\n" << field.first << "=" << field.second;
        out << "\n";
    }
    ExpectFile(ThrowSiteCaptureLoaded() ? "journal.txt" : "journal-without-capture.txt", out.str());
}

// Reports through the library's clone of the registered strategy, from four
// threads at once, that went nowhere: the registered strategy says why, as its
// copies and clones share what it says. journal.sh runs this without a journal
// and names the error that it expects.
TEST(JournalTest, WithoutAJournalTheRegisteredStrategySaysWhy) {
    const char* const error = std::getenv("STDEXCEPTION_JOURNAL_ERROR");
    if (error == nullptr) GTEST_SKIP() << "journal.sh runs this where no journal runs";
    ModuleScope module;
    const JournalReportingStrategy registered;
    StdException::SetDefaultReportingStrategy(&registered);
    App("no journal").ReportException();  // libsystemd makes its socket, then the threads use it
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([] { App("no journal").ReportException(); });
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(registered.LastError(), std::atoi(error));
}

}  // namespace
