// What the exception family costs, measured side by side with its floor and
// the usual alternatives in one process: an exception passing up through
// guarded frames, with and without the capture of its throw site, the normal
// path of a guarded function, constructing each kind, rendering traces and
// chains (the JSON and escaped XML reports beside the XML report, the JSON
// report of records with fields beside the one of records without), reading
// a throw site, and copying chains. After the runs each figure is printed
// with its ratio to its floor, then the target ratios.

#include <StdException/Guard>
#include <StdException/Reports>
#include <StdException/StdException>
#include <StdException/ThrowSite>

#include <benchmark/benchmark.h>
#include <boost/exception/exception.hpp>
#include <boost/exception/info.hpp>

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <list>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#define BENCH_NOINLINE __attribute__((noinline))

namespace {

using namespace Quorbel;

const char message[] = "The field is empty.";

// ---- What differs between Linux and Windows ----------------------------------
#ifdef _WIN32
// The bytes of the C runtime's heap in use, block by block.
std::size_t HeapInUse() {
    std::size_t used = 0;
    _HEAPINFO entry;
    entry._pentry = nullptr;
    while (_heapwalk(&entry) == _HEAPOK)
        if (entry._useflag == _USEDENTRY) used += entry._size;
    return used;
}
// A thread's CPU time moves in clock ticks here (10 ms under Wine), a third
// of a repetition: the figures are wall-clock times.
const bool wallClock = true;
#else
std::size_t HeapInUse() { return mallinfo2().uordblks; }
const bool wallClock = false;
#endif

// An application's own kind, derived the way a team would derive it.
class FieldError : public StdException {
public:
    FieldError(const std::string& file, std::uint32_t line, const std::string& funcsig,
               const std::string& parameters, const std::string& comment)
        : StdException(file, line, funcsig, parameters, comment) {}
    FieldError* clone() const override { return new FieldError(*this); }
    std::string TypeName() const override { return "FieldError"; }
    std::string DisplayValue() const override { return message; }
};

// ---- An exception passing up through N frames ------------------------------
// N nested functions; the innermost calls a function of its own that raises,
// and every frame acts on the way up. The "+ 1" keeps each frame a real call.

struct BoostError : virtual boost::exception, virtual std::exception {};
// Boost keeps one value per tag: each frame replaces the value of the last.
typedef boost::error_info<struct FrameTag, std::string> FrameInfo;

// Each raises when called with 1, as the innermost frame calls it.
BENCH_NOINLINE int RaiseFieldError(int depth) {
    if (depth == 1) QUORBEL_THROW(FieldError, "", message);
    return 0;
}
BENCH_NOINLINE int RaiseRuntimeError(int depth) {
    if (depth == 1) throw std::runtime_error(message);
    return 0;
}
BENCH_NOINLINE int RaiseBoostError(int depth) {
    if (depth == 1) throw BoostError() << FrameInfo(message);
    return 0;
}

BENCH_NOINLINE int Guarded(int depth) {
    return QUORBEL_GUARD([&] { return "depth(" + std::to_string(depth) + ")"; }, "reading a field",
                         [&] {
                             if (depth == 1) return RaiseFieldError(depth);
                             return Guarded(depth - 1) + 1;
                         });
}

// The same with a standard exception raised inside, which the innermost
// guard translates.
BENCH_NOINLINE int GuardedStd(int depth) {
    return QUORBEL_GUARD([&] { return "depth(" + std::to_string(depth) + ")"; }, "reading a field",
                         [&] {
                             if (depth == 1) return RaiseRuntimeError(depth);
                             return GuardedStd(depth - 1) + 1;
                         });
}

BENCH_NOINLINE int Bare(int depth) {
    try {
        if (depth == 1) return RaiseRuntimeError(depth);
        return Bare(depth - 1) + 1;
    } catch (...) {
        throw;
    }
}

BENCH_NOINLINE int Nested(int depth) {
    try {
        if (depth == 1) return RaiseRuntimeError(depth);
        return Nested(depth - 1) + 1;
    } catch (...) {
        std::throw_with_nested(std::runtime_error("depth(" + std::to_string(depth) + ")"));
    }
}

BENCH_NOINLINE int WithBoost(int depth) {
    try {
        if (depth == 1) return RaiseBoostError(depth);
        return WithBoost(depth - 1) + 1;
    } catch (boost::exception& e) {
        e << FrameInfo("depth(" + std::to_string(depth) + ")");
        throw;
    }
}

// A plain throw caught one frame up, below depth - 1 plain frames: what a
// library that throws and catches inside pays, at any depth of its caller.
BENCH_NOINLINE int CatchOneUp() {
    try {
        return RaiseRuntimeError(1);
    } catch (const std::runtime_error&) {
        return 1;
    }
}
BENCH_NOINLINE int Plain(int depth) {
    if (depth <= 1) return CatchOneUp();
    int below = Plain(depth - 1);
    benchmark::DoNotOptimize(below);  // a real call in every frame, not a loop
    return below + 1;
}

// The capture library, linked into this program, records throw sites only
// in the rows that measure it: the others pause it.
void Capture(bool on) { PauseThrowSites(!on); }

void Throw(benchmark::State& state, int (*frames)(int), int n, bool captured) {
    Capture(captured);
    for (auto _ : state) {
        try {
            benchmark::DoNotOptimize(frames(n));
        } catch (...) {
        }
    }
    Capture(false);
}

// A throw site of 40 frames: plain frames above the raising one, and those
// of the benchmark's own caller.
BENCH_NOINLINE int Deep(int depth) {
    if (depth == 1) return RaiseFieldError(depth);
    int below = Deep(depth - 1);
    benchmark::DoNotOptimize(below);  // a real call in every frame, not a loop
    return below + 1;
}

// The plain frames that make the site 40 frames deep, with the raising one
// and the benchmark's callers.
constexpr int siteDepth = 34;

std::unique_ptr<StdException> DeepSite() {
    Capture(true);
    std::unique_ptr<StdException> site;
    try {
        Deep(siteDepth);
    } catch (StdException& e) {
        site.reset(e.clone());
    }
    Capture(false);
    return site;
}

// Reading a throw site whose modules and addresses were read before.
void ReadSite(benchmark::State& state) {
    const std::unique_ptr<StdException> site = DeepSite();
    for (auto _ : state) benchmark::DoNotOptimize(GetThrowSite(*site).size());
}

// The first reading of a throw site in the process, which reads the
// debugging information of its modules: once, so timed by hand.
double firstReading = 0;
std::size_t firstFrames = 0;
void ReadSiteFirst() {
    const std::unique_ptr<StdException> site = DeepSite();
    const auto start = std::chrono::steady_clock::now();
    firstFrames = GetThrowSite(*site).size();
    firstReading =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The memory that each of many live exceptions keeps, thrown at the depth of
// the site above and kept in exception_ptrs: the growth of the heap in use.
double keptBytes[2] = {0, 0};
double KeptBytes(bool captured) {
    constexpr std::size_t count = 10000;
    std::vector<std::exception_ptr> kept;
    kept.reserve(count);
    Capture(captured);
    const std::size_t before = HeapInUse();
    for (std::size_t i = 0; i < count; ++i) {
        try {
            Deep(siteDepth);
        } catch (...) {
            kept.push_back(std::current_exception());
        }
    }
    const std::size_t after = HeapInUse();
    Capture(false);
    return double(after - before) / count;
}

// ---- The normal path ------------------------------------------------------------
// A small piece of application work that can fail: a checksum of a field.
inline unsigned Checksum(const std::string& text, unsigned seed) {
    if (text.empty()) QUORBEL_THROW(FieldError, "", message);
    for (char c : text) seed = seed * 31u + static_cast<unsigned char>(c);
    return seed;
}

BENCH_NOINLINE unsigned Unguarded(const std::string& text, unsigned seed) {
    return Checksum(text, seed);
}

BENCH_NOINLINE unsigned GuardedCall(const std::string& text, unsigned seed) {
    return QUORBEL_GUARD([&] { return "text(" + text + ") seed(" + std::to_string(seed) + ")"; },
                         "", [&] { return Checksum(text, seed); });
}

// The same guard with its description given as a string, composed on every call.
BENCH_NOINLINE unsigned GuardedEagerCall(const std::string& text, unsigned seed) {
    return QUORBEL_GUARD("text(" + text + ") seed(" + std::to_string(seed) + ")", "",
                         [&] { return Checksum(text, seed); });
}

void Call(benchmark::State& state, unsigned (*function)(const std::string&, unsigned)) {
    const std::string text = "port = 8080; host = example.org";
    unsigned seed = 0;
    for (auto _ : state) benchmark::DoNotOptimize(seed = function(text, seed));
}

template <class Make>
void Construct(benchmark::State& state, Make make) {
    for (auto _ : state) {
        auto made = make();
        benchmark::DoNotOptimize(&made);
    }
}

// ---- Rendering and copying -------------------------------------------------------
// Entry i of a trace, origin first. Every record of a chain has three.
const std::size_t chainEntries = 3;

std::vector<CallTraceEntry> Entries(std::size_t n) {
    std::vector<CallTraceEntry> entries;
    for (std::size_t i = 0; i < n; ++i)
        entries.push_back({"src/settings/FieldReader.cpp", static_cast<std::uint32_t>(100 + i),
                           "int Settings::FieldReader::Read(const std::string&, std::size_t)",
                           "text(port = 8080) index(" + std::to_string(i) + ")",
                           "reading a field"});
    return entries;
}

std::unique_ptr<FieldError> Record(const std::vector<CallTraceEntry>& entries) {
    const CallTraceEntry& o = entries.front();
    std::unique_ptr<FieldError> r(
        new FieldError(o.file, o.line, o.funcsig, o.parameters, o.comment));
    for (auto e = entries.begin() + 1; e != entries.end(); ++e)
        r->AddToCallTrace(e->file, e->line, e->funcsig, e->parameters, e->comment);
    return r;
}

// A record of n entries with `chain` records like it below it, built once;
// with fields, each record has five, one of each kind of value.
const FieldError& Built(std::size_t n, std::size_t chain, bool fields = false) {
    static std::map<std::pair<std::size_t, std::size_t>, std::unique_ptr<FieldError> > built[2];
    std::unique_ptr<FieldError>& slot = built[fields][std::make_pair(n, chain)];
    if (!slot) {
        slot = Record(Entries(n));
        if (fields) {
            slot->SetField("field", "port");
            slot->SetField("index", -7);
            slot->SetField("offset", std::size_t(8080));
            slot->SetField("ratio", 0.25);
            slot->SetField("required", true);
        }
        if (chain > 0) slot->AddPreviousException(&Built(n, chain - 1, fields));
    }
    return *slot;
}

// The floors: the same bytes appended to one std::string, with no stream, no
// guard and no virtual call.
void FloorText(std::string& out, const std::vector<CallTraceEntry>& entries, std::size_t chain) {
    out.append(message).append("\r\n");
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const CallTraceEntry& e = entries[i];
        out.append("[").append(std::to_string(entries.size() - 1 - i)).append("] \tFile : ");
        out.append(e.file).append("\r\n\tLine : ").append(std::to_string(e.line));
        out.append("\r\n\tFunction signature : ").append(e.funcsig);
        out.append("\r\n\tParameters : ").append(e.parameters);
        out.append("\r\n\tDeveloper Comment : ").append(e.comment).append("\r\n");
    }
    if (chain == 0) return;
    out.append("Translated from a previous exception:\r\n{\r\n");
    FloorText(out, entries, chain - 1);
    out.append("}\r\n");
}

void FloorXML(std::string& out, const std::vector<CallTraceEntry>& entries, std::size_t chain) {
    out.append("<Exception><Name>FieldError</Name><Value>").append(message);
    out.append("</Value><CallTrace>");
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const CallTraceEntry& e = entries[i];
        out.append("<CallTraceEntry position=\"").append(std::to_string(i)).append("\"><File>");
        out.append(e.file).append("</File><Line>").append(std::to_string(e.line));
        out.append("</Line><FuncSig>").append(e.funcsig).append("</FuncSig><Params>");
        out.append(e.parameters).append("</Params><Comment>").append(e.comment);
        out.append("</Comment></CallTraceEntry>");
    }
    out.append("</CallTrace>");
    if (chain > 0) {
        out.append("<PreviousException>");
        FloorXML(out, entries, chain - 1);
        out.append("</PreviousException>");
    }
    out.append("</Exception>");
}

// The reports for tools are measured against AsXML on the same exception;
// the JSON report of records with fields against the one of records without.
enum Renderer { AsString, AsXML, TextFloor, XMLFloor, JSONReport, EscapedXMLReport, JSONFields };

void Render(benchmark::State& state, Renderer renderer, std::size_t n, std::size_t chain) {
    const FieldError& e = Built(n, chain, renderer == JSONFields);
    const std::vector<CallTraceEntry> entries = Entries(n);
    auto render = [&] {
        std::string out;
        if (renderer == AsString) out = e.AsString();
        if (renderer == AsXML) out = e.AsXML();
        if (renderer == TextFloor) FloorText(out, entries, chain);
        if (renderer == XMLFloor) FloorXML(out, entries, chain);
        if (renderer == JSONReport || renderer == JSONFields) out = AsJSON(e);
        if (renderer == EscapedXMLReport) out = AsEscapedXML(e);
        return out;
    };
    const std::string bytes = render();
    // The reports for tools write other bytes (the signatures hold "&").
    const bool xml = renderer == AsXML || renderer == XMLFloor;
    if (renderer < JSONReport && bytes != (xml ? e.AsXML() : e.AsString()))
        state.SkipWithError("the floor does not write the same bytes as the report");
    for (auto _ : state) benchmark::DoNotOptimize(render().data());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
    state.counters["bytes"] = static_cast<double>(bytes.size());
}

// The floor of a copy: copying the entries of the chain's records, nothing else.
enum Copying { Clone, AddPrevious, EntriesFloor };

void Copy(benchmark::State& state, Copying copying, std::size_t chain) {
    const FieldError& source = Built(chainEntries, chain);
    std::unique_ptr<FieldError> head = Record(Entries(chainEntries));
    const std::vector<CallTraceEntry> entries = Entries(chainEntries);
    typedef std::list<CallTraceEntry> Trace;
    const std::vector<Trace> data(chain + 1, Trace(entries.rbegin(), entries.rend()));
    for (auto _ : state) {
        if (copying == Clone) delete source.clone();
        if (copying == AddPrevious) head->AddPreviousException(&source);
        if (copying == EntriesFloor) benchmark::DoNotOptimize(std::vector<Trace>(data).data());
    }
}

// ---- Registration and the summary ---------------------------------------------------
// The stack depths of the plain throws.
const int plainDepths[] = {1, 10, 40, 100};

// Every benchmark in order, with the name of its floor (empty for a floor).
std::vector<std::pair<std::string, std::string> > figures;

template <class... Args>
void Add(const std::string& name, const std::string& floor, Args&&... args) {
    benchmark::RegisterBenchmark(name.c_str(), std::forward<Args>(args)...);
    figures.emplace_back(name, floor);
}

void RegisterAll() {
    // Name, frames, whether capture is on, and the floor's name.
    const struct {
        const char* name;
        int (*frames)(int);
        bool captured;
        const char* floor;
    } frames[] = {{"Bare", Bare, false, ""},
                  {"Guarded", Guarded, false, "Bare"},
                  {"Captured", Guarded, true, "Guarded"},
                  {"GuardedStd", GuardedStd, false, "Bare"},
                  {"CapturedStd", GuardedStd, true, "GuardedStd"},
                  {"NestedStd", Nested, false, "Bare"},
                  {"Boost", WithBoost, false, "Bare"}};
    for (int n : {1, 10, 100})
        for (const auto& f : frames) {
            if (f.captured && !ThrowSiteCaptureLoaded()) continue;
            const std::string suffix = "/" + std::to_string(n);
            Add("Throw/" + std::string(f.name) + suffix,
                *f.floor ? "Throw/" + std::string(f.floor) + suffix : "", Throw, f.frames, n,
                f.captured);
        }
    for (int n : plainDepths) {
        const std::string suffix = "/" + std::to_string(n);
        Add("Throw/Plain" + suffix, "", Throw, Plain, n, false);
        if (ThrowSiteCaptureLoaded())
            Add("Throw/PlainCaptured" + suffix, "Throw/Plain" + suffix, Throw, Plain, n, true);
    }
    if (ThrowSiteCaptureLoaded()) Add("ThrowSite/Read/40", "", ReadSite);
    Add("Call/Unguarded", "", Call, Unguarded);
    Add("Call/Guarded", "Call/Unguarded", Call, GuardedCall);
    Add("Call/GuardedEager", "Call/Unguarded", Call, GuardedEagerCall);
    const std::runtime_error wrapped(message);
    const UnexpectedException held = QUORBEL_MAKE(UnexpectedException, "", message);
    Add("Make/runtime_error", "",
        [](benchmark::State& s) { Construct(s, [] { return std::runtime_error(message); }); });
    Add("Make/UnexpectedException", "Make/runtime_error", [](benchmark::State& s) {
        Construct(s, [] { return QUORBEL_MAKE(UnexpectedException, "", message); });
    });
    Add("Make/CPPException", "Make/runtime_error", [wrapped](benchmark::State& s) {
        Construct(s, [&] { return QUORBEL_MAKE(CPPException, "", message, wrapped); });
    });
    Add("Make/BadHandlerException", "Make/runtime_error", [held](benchmark::State& s) {
        UnexpectedException original = held, handler = held;
        Construct(
            s, [&] { return QUORBEL_MAKE(BadHandlerException, "", message, &original, &handler); });
    });
    // A rendering and its floor share the rest of their names; the floor of the
    // JSON and escaped XML reports is AsXML, that of the JSON report with
    // fields the JSON report without.
    auto render = [](const std::string& of, std::size_t n, std::size_t chain) {
        const char* const names[] = {"AsString", "AsXML",        "TextFloor",    "XMLFloor",
                                     "AsJSON",   "AsEscapedXML", "AsJSON+fields"};
        const int floors[] = {TextFloor, XMLFloor, -1, -1, AsXML, AsXML, JSONReport};
        for (int r = 0; r < 7; ++r)
            Add(std::string("Render/") + names[r] + of,
                floors[r] < 0 ? "" : std::string("Render/") + names[floors[r]] + of, Render,
                Renderer(r), n, chain);
    };
    for (std::size_t n : {10, 100, 1000}) render("/trace:" + std::to_string(n), n, 0);
    for (std::size_t n : {1, 10, 100}) render("/chain:" + std::to_string(n), chainEntries, n);
    for (std::size_t n : {1, 10, 100}) {
        const std::string of = "/chain:" + std::to_string(n);
        Add("Copy/EntriesFloor" + of, "", Copy, EntriesFloor, n);
        Add("Copy/clone" + of, "Copy/EntriesFloor" + of, Copy, Clone, n);
        Add("Copy/AddPreviousException" + of, "Copy/EntriesFloor" + of, Copy, AddPrevious, n);
    }
}

// Prints the machine as the console reporter does, and keeps the CPU time
// (on Windows the wall-clock time) of every repetition for the summary instead of printing runs as
// they come, which with interleaved repetitions is in no useful order. On a machine shared with
// other work, the fastest repetition is the one that shows the code's own cost; the spread shows
// how much the others were disturbed.
class Reporter : public benchmark::ConsoleReporter {
public:
    Reporter() : ConsoleReporter(OO_None) {}
    bool ReportContext(const Context& context) override {
        const bool run = ConsoleReporter::ReportContext(context);
        std::printf("Running %zu benchmarks; the figures follow when all have run.\n",
                    figures.size());
        std::fflush(stdout);
        return run;
    }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration) continue;
            if (run.error_occurred) {
                std::printf("%s: %s\n", run.benchmark_name().c_str(), run.error_message.c_str());
                continue;
            }
            samples[run.run_name.str()].push_back(wallClock ? run.GetAdjustedRealTime()
                                                            : run.GetAdjustedCPUTime());
            const auto bytes = run.counters.find("bytes");
            if (bytes != run.counters.end()) sizes[run.run_name.str()] = bytes->second;
        }
    }
    // Fastest: the time of the fastest repetition, the one least disturbed
    // by other processes; 0 for a benchmark that did not run.
    double Fastest(const std::string& name) {
        const std::vector<double>& s = samples[name];
        return s.empty() ? 0 : *std::min_element(s.begin(), s.end());
    }
    // Spread: how much slower the slowest repetition was than the fastest.
    double Spread(const std::string& name) {
        const std::vector<double>& s = samples[name];
        return s.empty() ? 0 : *std::max_element(s.begin(), s.end()) / Fastest(name) - 1;
    }

    std::map<std::string, double> sizes;  // bytes written by each rendering

private:
    std::map<std::string, std::vector<double> > samples;
};

void Target(const char* what, double ratio, double limit) {
    if (!std::isfinite(ratio) || ratio <= 0)
        std::printf("  %-52s not measured in this run\n", what);
    else
        std::printf("  %-52s %6.2f  (at most %.2f)  %s\n", what, ratio, limit,
                    ratio <= limit ? "met" : "MISSED");
}

void Summarise(Reporter& r) {
    std::printf(
        "\nFastest repetition (%s), slowest one's excess over it, [throughput,] "
        "ratio to the floor\n",
        wallClock ? "wall-clock time" : "CPU time");
    for (const auto& f : figures) {
        if (r.Fastest(f.first) == 0) continue;
        std::printf("  %-36s %12.0f ns %5.1f%%", f.first.c_str(), r.Fastest(f.first),
                    100 * r.Spread(f.first));
        if (r.sizes.count(f.first))
            std::printf(" %7.0f MB/s", 1e3 * r.sizes[f.first] / r.Fastest(f.first));
        if (!f.second.empty() && r.Fastest(f.second) > 0)
            std::printf("  x%.2f", r.Fastest(f.first) / r.Fastest(f.second));
        std::printf("\n");
    }
    // The cost of one frame: the growth from 1 to 100 frames, per frame.
    auto frame = [&](const std::string& kind) {
        return (r.Fastest("Throw/" + kind + "/100") - r.Fastest("Throw/" + kind + "/1")) / 99;
    };
    std::printf("\nTargets\n");
    Target("one guarded frame / one bare catch-and-rethrow frame", frame("Guarded") / frame("Bare"),
           1.3);
    Target("guarded call / unguarded call", r.Fastest("Call/Guarded") / r.Fastest("Call/Unguarded"),
           1.05);
    if (ThrowSiteCaptureLoaded()) {
        double worst = 0;
        for (int n : plainDepths) {
            const std::string suffix = "/" + std::to_string(n);
            worst = std::max(worst, r.Fastest("Throw/PlainCaptured" + suffix) /
                                        r.Fastest("Throw/Plain" + suffix));
        }
        Target("plain throw, captured / not captured, worst depth", worst, 1.5);
        Target("guarded throw through 10 frames, captured / not captured",
               r.Fastest("Throw/Captured/10") / r.Fastest("Throw/Guarded/10"), 1.1);
        std::printf(
            "\nThe first reading of a throw site of %zu frames: %.1f ms; later ones: %.1f us\n"
            "Memory kept per live exception: %.0f bytes not captured, %.0f bytes captured\n",
            firstFrames, firstReading, r.Fastest("ThrowSite/Read/40") / 1e3, keptBytes[0],
            keptBytes[1]);
    }
    Target("AsString of 1000 entries / of 100 entries",
           r.Fastest("Render/AsString/trace:1000") / r.Fastest("Render/AsString/trace:100"), 12);
    Target("AsXML of 1000 entries / of 100 entries",
           r.Fastest("Render/AsXML/trace:1000") / r.Fastest("Render/AsXML/trace:100"), 12);
    // The reports for tools against AsXML on the same exception: the largest
    // ratio over the traces and chains.
    for (const char* report : {"AsJSON", "AsEscapedXML"}) {
        double worst = 0;
        for (const char* of :
             {"trace:10", "trace:100", "trace:1000", "chain:1", "chain:10", "chain:100"})
            worst = std::max(worst, r.Fastest(std::string("Render/") + report + "/" + of) /
                                        r.Fastest(std::string("Render/AsXML/") + of));
        Target((std::string(report) + " / AsXML, the largest over traces and chains").c_str(),
               worst, 1.5);
    }
    double worst = 0;
    for (const char* of :
         {"trace:10", "trace:100", "trace:1000", "chain:1", "chain:10", "chain:100"})
        worst = std::max(worst, r.Fastest(std::string("Render/AsJSON+fields/") + of) /
                                    r.Fastest(std::string("Render/AsJSON/") + of));
    Target("AsJSON, five fields a record / none, the largest", worst, 1.2);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Capture(false);
    if (ThrowSiteCaptureLoaded()) {
        ReadSiteFirst();
        keptBytes[0] = KeptBytes(false);
        keptBytes[1] = KeptBytes(true);
    }
    RegisterAll();
    Reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    Summarise(reporter);
    benchmark::Shutdown();
    return 0;
}
