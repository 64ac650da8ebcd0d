// The demo's --journal: its failure as an entry of the systemd journal,
// through <StdException/Journal>, where the demo was built with libsystemd
// (STDEXCEPTION_DEMO_JOURNAL); elsewhere the option says it is not available.
// What happened goes to standard error, which the demo's reports leave alone.

#include <StdException/StdException>

#include <iostream>

#if STDEXCEPTION_DEMO_JOURNAL
#    include <StdException/Journal>

#    include <unistd.h>

#    include <cstring>

void ReportToJournal(const Quorbel::StdException& failure) {
    Quorbel::JournalReportingStrategy toJournal;
    toJournal.Report(failure);
    if (toJournal.LastError() == 0)
        std::cerr << "--journal: " << toJournal << ", found by journalctl _PID=" << getpid()
                  << '\n';
    else
        std::cerr << "--journal: the entry is lost: " << std::strerror(-toJournal.LastError())
                  << '\n';
}
#else
void ReportToJournal(const Quorbel::StdException&) {
    std::cerr << "--journal: not available: the demo was built without libsystemd\n";
}
#endif
