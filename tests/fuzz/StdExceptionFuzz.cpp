// Fuzz target: the input drives a sequence of operations on a small pool of
// exceptions (building each kind from arbitrary strings, chaining, nesting,
// copying, assigning, setting detail levels, rendering and reporting), and
// after every step checks what must hold for any input. A broken invariant
// aborts; so does anything that escapes an operation unexpectedly.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "../Probes.h"

using namespace Quorbel;

namespace {

const std::size_t kPoolSize = 8;
const int kMaxSteps = 64;
// Records whose XML report is longer than this are not combined any further,
// so that nesting cannot double the work at every step.
const std::size_t kMaxReport = 1 << 14;

// An exception of the pool and what is known about it: its call trace, origin
// first; whether a BadHandlerException is among the records it holds; and
// whether those records may be at different detail levels. A copy gives held
// exceptions its own level, so it renders like its source only when they
// already are at that level.
struct Item {
    std::shared_ptr<StdException> x;
    std::vector<CallTraceEntry> trace;
    bool holdsHandler = false;
    bool mixedLevels = false;
    std::size_t size = 0;  // of the XML report
};

void Require(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "broken invariant: %s\n", what);
    std::abort();
}

// The XML of the entries of trace that level shows.
std::string XmlEntries(const std::vector<CallTraceEntry>& trace, DetailLevel level) {
    const std::size_t shown = level == FullDetail ? trace.size() : level == MediumDetail ? 1 : 0;
    std::string xml;
    for (std::size_t n = 0; n < shown; ++n)
        xml += probes::XmlEntry(static_cast<int>(n), trace[n].file, std::to_string(trace[n].line),
                                trace[n].funcsig, trace[n].parameters, trace[n].comment);
    return xml;
}

// Checks both reports of an item and notes the length of its XML report.
void Check(Item& item) {
    const StdException& x = *item.x;
    const std::string xml = x.AsXML(), value = x.DisplayValue(), close = "</Exception>";
    Require(xml.rfind("<Exception><Name>" + x.TypeName() + "</Name><Value>" + value +
                          "</Value><CallTrace>" + XmlEntries(item.trace, x.GetDetailLevel()) +
                          "</CallTrace>",
                      0) == 0,
            "the XML report shows the entries that the detail level asks for");
    Require(xml.size() > close.size() && xml.substr(xml.size() - close.size()) == close,
            "the XML report ends with </Exception>");
    Require(x.AsString().rfind(value + "\r\n", 0) == 0, "the text report starts with DisplayValue");
    item.size = xml.size();
}

void RequireSameReports(const Item& copy, const Item& source) {
    Require(source.mixedLevels || (copy.x->AsXML() == source.x->AsXML() &&
                                   copy.x->AsString() == source.x->AsString()),
            "a copy renders exactly like its source");
}

template <class Kind, class... Rest>
std::shared_ptr<StdException> Make(const CallTraceEntry& e, const Rest&... rest) {
    return std::make_shared<Kind>(e.file, e.line, e.funcsig, e.parameters, e.comment, rest...);
}

// Assigns source to target when both are of the kind; says whether it did.
template <class Kind>
bool AssignAs(StdException& target, const StdException& source) {
    Kind* to = dynamic_cast<Kind*>(&target);
    const Kind* from = dynamic_cast<const Kind*>(&source);
    if (to != nullptr && from != nullptr) *to = *from;
    return to != nullptr && from != nullptr;
}

// Whether the held records of item may end up at other levels than the rest
// when its whole previous chain is set to level.
bool Mixes(const Item& item, DetailLevel level) {
    return item.mixedLevels || (item.holdsHandler && item.x->GetDetailLevel() != level);
}

// The module settings as the module starts with them.
void ResetModule() {
    StdException::SetDefaultDetailLevel(FullDetail);
    StdException::SetDefaultReportingStrategy(nullptr);
    StdException::SetFallbackReportingStrategy(nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider data(bytes, size);
    probes::StrategyLog log;
    const probes::RecordingStrategy own(log, "own"), byDefault(log, "default"),
        fallback(log, "fallback");
    ResetModule();
    DetailLevel defaultLevel = FullDetail;
    bool hasFallback = false;
    std::vector<Item> pool;
    auto pick = [&] { return data.ConsumeIntegralInRange<std::size_t>(0, pool.size() - 1); };
    auto text = [&] { return data.ConsumeRandomLengthString(40); };
    for (int step = 0; step < kMaxSteps && data.remaining_bytes() > 0; ++step) {
        const int operation = data.ConsumeIntegralInRange(0, 9);
        if (pool.empty() && operation > 2) continue;
        const std::size_t i = pool.empty() ? 0 : pick(), j = pool.empty() ? 0 : pick();
        const std::string file = text();  // the values of a new entry, in this order
        const CallTraceEntry e{file, data.ConsumeIntegral<std::uint32_t>(), text(), text(), text()};
        Item built;  // a record that this step adds to the pool
        built.trace.push_back(e);
        switch (operation) {
        case 0: built.x = Make<UnexpectedException>(e); break;
        case 1: built.x = Make<CPPException>(e, std::runtime_error(text())); break;
        case 2: {
            // A missing exception is refused with a CPPException.
            const bool complete = !pool.empty() && data.ConsumeBool();
            if (complete && pool[i].size + pool[j].size > kMaxReport) break;
            try {
                built.x = Make<BadHandlerException>(e, complete ? pool[i].x.get() : nullptr,
                                                    complete ? pool[j].x.get() : nullptr);
                Require(complete, "a BadHandlerException without its exceptions");
                built.holdsHandler = true;
                built.mixedLevels = Mixes(pool[i], defaultLevel) || Mixes(pool[j], defaultLevel);
            } catch (const CPPException& refusal) {
                Require(!complete && refusal.DisplayValue().rfind("std::invalid_argument", 0) == 0,
                        "only a missing exception is refused");
            }
            break;
        }
        case 3:
            pool[i].x->AddToCallTrace(e.file, e.line, e.funcsig, e.parameters, e.comment);
            pool[i].trace.push_back(e);
            break;
        case 4:
            if (pool[i].size + pool[j].size > kMaxReport) break;
            pool[i].mixedLevels |= Mixes(pool[j], pool[i].x->GetDetailLevel());
            pool[i].holdsHandler |= pool[j].holdsHandler;
            pool[i].x->AddPreviousException(pool[j].x.get());
            break;
        case 5:  // clone runs the copy constructor of the kind
            built = pool[i];
            built.x.reset(pool[i].x->clone());
            RequireSameReports(built, pool[i]);
            break;
        case 6: {
            StdException &to = *pool[i].x, &from = *pool[j].x;
            if (!AssignAs<UnexpectedException>(to, from) && !AssignAs<CPPException>(to, from) &&
                !AssignAs<BadHandlerException>(to, from))
                break;
            const std::shared_ptr<StdException> assigned = pool[i].x;
            pool[i] = pool[j];
            pool[i].x = assigned;
            RequireSameReports(pool[i], pool[j]);
            break;
        }
        case 7: {
            const auto level = static_cast<DetailLevel>(data.ConsumeIntegral<std::int32_t>());
            if (data.ConsumeBool()) {
                StdException::SetDefaultDetailLevel(defaultLevel = level);
                break;
            }
            pool[i].mixedLevels = Mixes(pool[i], level);
            pool[i].x->SetDetailLevel(level);
            Require(pool[i].x->GetDetailLevel() == level, "SetDetailLevel sets the level");
            break;
        }
        case 8: {
            const bool set = data.ConsumeBool();
            const int slot = data.ConsumeIntegralInRange(0, 2);
            if (slot == 0) pool[i].x->SetReportingStrategy(set ? &own : nullptr);
            if (slot == 1) StdException::SetDefaultReportingStrategy(set ? &byDefault : nullptr);
            if (slot == 2) StdException::SetFallbackReportingStrategy(set ? &fallback : nullptr);
            hasFallback = slot == 2 ? set : hasFallback;
            break;
        }
        default: {
            const auto* strategy =
                static_cast<const probes::RecordingStrategy*>(pool[i].x->GetReportingStrategy());
            const std::string value = pool[i].x->DisplayValue();
            std::vector<std::string> expected = log.reports;
            if (strategy != nullptr) expected.push_back(strategy->Name() + ":" + value);
            if (hasFallback) expected.push_back("fallback:" + value);
            pool[i].x->ReportException();
            pool[i].x->FallbackReportException();
            Require(log.reports == expected, "each report reaches its strategy once");
        }
        }
        if (built.x == nullptr) {
            if (!pool.empty()) Check(pool[i]);
            continue;
        }
        Require(operation == 5 || built.x->GetDetailLevel() == defaultLevel,
                "a new record takes the default level");
        Check(built);
        if (pool.size() < kPoolSize) pool.push_back(std::move(built));
        else pool[i] = std::move(built);
    }
    ResetModule();  // before log goes, which the stored strategies write to
    return 0;
}
