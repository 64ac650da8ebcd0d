// Reporting strategies: the per-exception strategy, the module default and
// fallback slots, and the report operations.

#include "StdException"
#include "Guard"

#include <list>

namespace Quorbel {

namespace {

// The module slots. Objects of a module are destroyed in the reverse order
// of their definition, so at unload the fallback strategy is deleted before
// the default strategy.
OwnedPtr<CReportingStrategy> defaultStrategy;
OwnedPtr<CReportingStrategy> fallbackStrategy;

CReportingStrategy* CloneOf(const CReportingStrategy* strategy) {
    return strategy != nullptr ? strategy->clone() : nullptr;
}

}  // namespace

CReportingStrategy::CReportingStrategy() {}

CReportingStrategy::CReportingStrategy(const CReportingStrategy&) {}

CReportingStrategy& CReportingStrategy::operator=(const CReportingStrategy&) { return *this; }

CReportingStrategy::~CReportingStrategy() {}

std::ostream& operator<<(std::ostream& os, const CReportingStrategy& strategy) {
    return strategy.Print(os);
}

CReportingStrategy* StdException::GetReportingStrategy() const {
    return reportingStrategy.get() != nullptr ? reportingStrategy.get() : defaultStrategy.get();
}

void StdException::SetReportingStrategy(const CReportingStrategy* strategy) {
    // All clones are taken before any slot is reset, so the argument may be
    // owned by a record of this very chain. If a clone fails, the records
    // whose clones were made still get them, as if set one by one.
    std::list<OwnedPtr<CReportingStrategy> > clones;
    auto handOver = [&] {
        StdException* record = this;
        for (auto& clone : clones) {
            record->reportingStrategy.reset(clone.release());
            record = record->previousException.get();
        }
    };
    try {
        for (StdException* record = this; record != nullptr;
             record = record->previousException.get()) {
            // A slot is queued only once its clone exists, so the record
            // whose clone fails keeps its former strategy.
            OwnedPtr<CReportingStrategy> clone;
            clone.reset(CloneOf(strategy));
            clones.emplace_back();
            clones.back().reset(clone.release());
        }
    } catch (...) {
        handOver();
        throw;
    }
    handOver();
}

CReportingStrategy* StdException::GetDefaultReportingStrategy() const {
    return defaultStrategy.get();
}

void StdException::SetDefaultReportingStrategy(const CReportingStrategy* strategy) {
    defaultStrategy.reset(CloneOf(strategy));
}

void StdException::SetFallbackReportingStrategy(const CReportingStrategy* strategy) {
    fallbackStrategy.reset(CloneOf(strategy));
}

void StdException::ReportException() {
    QUORBEL_GUARD("", "", [&] {
        CReportingStrategy* strategy = GetReportingStrategy();
        if (strategy != nullptr) strategy->Report(*this);
    });
}

void StdException::FallbackReportException() {
    QUORBEL_GUARD("", "", [&] {
        CReportingStrategy* strategy = fallbackStrategy.get();
        if (strategy != nullptr) strategy->Report(*this);
    });
}

}  // namespace Quorbel
