// Throw sites, built at -O2 -g, the way an application ships. The same tests
// run with the capture library linked (STDEXCEPTION_EXPECT_CAPTURE set),
// preloaded (LD_PRELOAD), and not there at all: the frames, and the reports
// that show them, must follow; the reports of 1.0 must not change.

#include <StdException/Guard>
#include <StdException/Reports>
#include <StdException/ThrowSite>

#include <libxml/parser.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <thread>

#include <sys/resource.h>

#include "Probes.h"
#include "throwsite/Sites.h"

using namespace Quorbel;
using namespace probes;
using namespace sites;

void ThrowInt(int value);

namespace {

const bool kCapture =
    std::getenv("STDEXCEPTION_EXPECT_CAPTURE") != nullptr ||
    std::string(std::getenv("LD_PRELOAD") ? std::getenv("LD_PRELOAD") : "").find("ThrowSites") !=
        std::string::npos;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif

// Where the test's own throws stand: each function on one line, which the
// frames name (kept as written, for the lines that the tests expect).
// clang-format off
volatile std::uint32_t kThrowLine = __LINE__;
[[gnu::noinline]] int ParseEighty() { return std::stoi("eighty"); }
[[gnu::noinline]] void Inner() { throw App("inner", "t.src", 7); }
[[gnu::noinline]] void Middle() { Inner(); asm volatile(""); }
template <int N>
[[gnu::noinline]] void Worker() { throw std::out_of_range(std::to_string(N)); }
[[gnu::noinline]] void Deep(int depth) { if (depth > 0) Deep(depth - 1); else if (kThrowLine) Inner(); asm volatile(""); }
[[gnu::noinline]] void Buried() { char buffer[12000]; asm volatile("" : : "r"(buffer) : "memory"); Inner(); asm volatile(""); }
// clang-format on

}  // namespace

// Guarded functions outside any namespace, whose entries every compiler writes alike.
void GuardedParse() {
    QUORBEL_TRY { ParseEighty(); }
    QUORBEL_CATCH("text(eighty)", "")
}
void GuardedFamily() {
    QUORBEL_TRY { Middle(); }
    QUORBEL_CATCH("", "")
}
void GuardedForeign() {
    QUORBEL_TRY { ThrowInt(42); }
    QUORBEL_CATCH("", "")
}

namespace {

// "function@file:line" of a frame, with the file's directory left out.
std::string Where(const NativeFrame& frame) {
    return frame.function + "@" + frame.file.substr(frame.file.rfind('/') + 1) + ":" +
           std::to_string(frame.line);
}

std::string Here(const std::string& function, std::uint32_t offset) {
    return function + "@ThrowSiteTest.cpp:" + std::to_string(kThrowLine + offset);
}

// The frames of e in the throwing functions above, as Where writes them.
std::vector<std::string> OwnFrames(const StdException& e) {
    std::vector<std::string> own;
    for (const NativeFrame& frame : GetThrowSite(e))
        if (Where(frame).find("ThrowSiteTest.cpp") != std::string::npos &&
            frame.line > kThrowLine && frame.line <= kThrowLine + 7)
            own.push_back(Where(frame));
    return own;
}

// What op lets escape, as a clone.
template <class Op>
std::unique_ptr<StdException> Caught(Op op) {
    try {
        op();
    } catch (StdException& e) {
        return std::unique_ptr<StdException>(e.clone());
    }
    return nullptr;
}

// The function of the standard library that throws for std::stoi: libc++'s
// is one that its shared library neither exports nor names.
#if defined(_LIBCPP_VERSION)
const char kStoiThrower[] = "";
#else
const char kStoiThrower[] = "std::__throw_invalid_argument(char const*)";
#endif

}  // namespace

TEST(ThrowSiteTest, EachWayToThrowKeepsTheFramesOfItsThrow) {
    if (!kCapture) GTEST_SKIP() << "the capture library is not loaded";
    struct Row {
        const char* name;
        std::unique_ptr<StdException> escaped;
        std::vector<std::string> own;  // the frames of this file, innermost first
        std::string innermost;         // the function of frame #0
        std::string thrownType;
    };
    std::exception_ptr carried;
    std::thread([&] {
        try {
            Worker<1>();
        } catch (...) {
            carried = std::current_exception();
        }
    }).join();
    const Row rows[] = {
        {"a standard exception thrown inside the standard library",
         Caught(GuardedParse),
         {Here("(anonymous namespace)::ParseEighty()", 1)},
         kStoiThrower,
         ""},
        {"a family exception below unguarded functions",
         Caught(GuardedFamily),
         {Here("(anonymous namespace)::Inner()", 2), Here("(anonymous namespace)::Middle()", 3)},
         "(anonymous namespace)::Inner()",
         ""},
        {"a foreign object thrown in another shared library",
         Caught(GuardedForeign),
         {},
         "ThrowInt(int)",
         "int"},
        {"a standard exception carried to another thread and translated there",
         Caught([&] { QUORBEL_GUARD("", "", [&] { std::rethrow_exception(carried); }); }),
         {Here("void (anonymous namespace)::Worker<1>()", 5)},
         "void (anonymous namespace)::Worker<1>()",
         ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ASSERT_NE(row.escaped, nullptr);
        const std::vector<NativeFrame> site = GetThrowSite(*row.escaped);
        ASSERT_FALSE(site.empty());
        EXPECT_EQ(site.front().function, row.innermost);
        EXPECT_EQ(OwnFrames(*row.escaped), row.own);
        EXPECT_EQ(GetThrownType(*row.escaped), row.thrownType);
        // Each module's frames share one load bias (address less offset) and its build ID.
        std::map<std::string, std::pair<std::uintptr_t, std::string>> modules;
        for (const NativeFrame& frame : site) {
            const auto module = std::make_pair(frame.address - frame.offset, frame.buildId);
            EXPECT_EQ(modules.emplace(frame.module, module).first->second, module) << frame.module;
            EXPECT_EQ(frame.buildId.size(), 40u) << frame.module;
        }
    }
}

TEST(ThrowSiteTest, CopiesChainsAndThrowsOfCopiesKeepTheirOwnFrames) {
    if (!kCapture) GTEST_SKIP() << "the capture library is not loaded";
    std::vector<std::string> original;
    std::unique_ptr<StdException> cloned;
    std::unique_ptr<StdException> rethrown;
    AppException assigned = App("assigned");
    try {
        try {
            Middle();
        } catch (AppException& e) {
            original = Values(GetThrowSite(e));
            e.SetField("set", "after the throw");  // a slot of its own, without frames
            cloned.reset(e.clone());
            assigned = e;
            AppException copy = e;
            throw copy;
        }
    } catch (AppException& again) {
        rethrown.reset(again.clone());
    }
    // The thrown objects are gone; what was copied from them keeps their frames.
    AppException outer = App("outer");
    outer.AddPreviousException(&assigned);
    const BadHandlerException bad("b.src", 2, "void g()", "", "", cloned.get(), rethrown.get());
    const StdException* const holders[] = {cloned.get(),
                                           &assigned,
                                           rethrown.get(),
                                           outer.GetPreviousException(),
                                           bad.GetOriginalException(),
                                           bad.GetHandlerException()};
    ASSERT_GT(original.size(), 12u);
    for (const StdException* holder : holders) EXPECT_EQ(Values(GetThrowSite(*holder)), original);
    EXPECT_TRUE(GetThrowSite(outer).empty());
    EXPECT_TRUE(GetThrowSite(bad).empty());
    assigned = App("never thrown");
    EXPECT_TRUE(GetThrowSite(assigned).empty());
}

template <int N>
void CheckWorker() {
    for (int i = 0; i < 200; ++i) {
        const auto e = Caught([] { QUORBEL_GUARD("", "", [] { Worker<N>(); }); });
        const std::vector<std::string> expected = {
            Here("void (anonymous namespace)::Worker<" + std::to_string(N) + ">()", 5)};
        ASSERT_EQ(OwnFrames(*e), expected);
    }
}

TEST(ThrowSiteTest, ThreadsThrowingAtOnceEachKeepTheirOwnFrames) {
    if (!kCapture) GTEST_SKIP() << "the capture library is not loaded";
    const std::uint64_t dropped = ThrowsWithoutFrames();
    void (*const checks[])() = {CheckWorker<1>, CheckWorker<2>, CheckWorker<3>, CheckWorker<4>,
                                CheckWorker<5>, CheckWorker<6>, CheckWorker<7>, CheckWorker<8>};
    std::vector<std::thread> threads;
    for (auto check : checks) threads.emplace_back(check);
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(ThrowsWithoutFrames(), dropped);
}

TEST(ThrowSiteTest, TenThousandLiveExceptionsEachKeepTheirFrames) {
    if (!kCapture) GTEST_SKIP() << "the capture library is not loaded";
    const std::uint64_t dropped = ThrowsWithoutFrames();
    std::vector<std::exception_ptr> alive;
    for (int i = 0; i < 10000; ++i) {
        try {
            Middle();
        } catch (...) {
            alive.push_back(std::current_exception());
        }
    }
    const std::vector<std::string> expected = {Here("(anonymous namespace)::Inner()", 2),
                                               Here("(anonymous namespace)::Middle()", 3)};
    for (const std::exception_ptr& e : alive)
        ASSERT_EQ(OwnFrames(*Caught([&] { std::rethrow_exception(e); })), expected);
    EXPECT_EQ(ThrowsWithoutFrames(), dropped);
}

TEST(ThrowSiteTest, FramesEndAtTheirLimitOrWhereTheCopyOfTheStackEnds) {
    if (!kCapture) GTEST_SKIP() << "the capture library is not loaded";
    for (int depth : {1, 10, 40}) {
        SCOPED_TRACE(depth);
        const std::vector<std::string> site =
            Values(GetThrowSite(*Caught([depth] { Deep(depth); })));
        EXPECT_EQ(std::count(site.begin(), site.end(), "(anonymous namespace)::Deep(int)"),
                  depth + 1);
    }
    const std::vector<std::string> deep = Values(GetThrowSite(*Caught([] { Deep(100); })));
    ASSERT_EQ(deep.size(), 64u * 8);
    EXPECT_EQ(std::count(deep.begin(), deep.end(), "(anonymous namespace)::Deep(int)"), 63);
    const std::vector<NativeFrame> buried = GetThrowSite(*Caught(Buried));
    ASSERT_EQ(buried.size(), 3u);
    EXPECT_EQ(Where(buried[0]), Here("(anonymous namespace)::Inner()", 2));
    EXPECT_EQ(Where(buried[1]), Here("(anonymous namespace)::Buried()", 7));
    EXPECT_EQ(Values({buried[2]}),
              std::vector<std::string>(
                  {"0x0", "false", "0x0", "", "", "(the copy of the stack ends here)", "", "0"}));
}

// The address space a process may take is limited to what it has, plus a
// little, and the heap filled: a throw finds no memory for its capture.
TEST(ThrowSiteTest, WithTheHeapExhaustedAThrowGoesWithoutFramesAndIsCounted) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (!kCapture || kSanitized || (preload != nullptr && std::strstr(preload, "vgpreload")))
        GTEST_SKIP() << "needs the capture library, and the C library's own allocator";
    const std::uint64_t dropped = ThrowsWithoutFrames();
    std::vector<void*> taken;
    taken.reserve(1 << 22);
    rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_AS, &limit), 0);
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    statm >> pages;
    rlimit exhausted = {pages * 4096 + (8 << 20), limit.rlim_max};
    ASSERT_EQ(setrlimit(RLIMIT_AS, &exhausted), 0);
    while (taken.size() < taken.capacity())
        if (void* block = std::malloc(32))
            taken.push_back(block);
        else
            break;
    bool caught = false;
    try {
        throw std::bad_alloc();
    } catch (const std::bad_alloc&) {
        caught = true;
    }
    const std::uint64_t afterwards = ThrowsWithoutFrames();
    setrlimit(RLIMIT_AS, &limit);
    for (void* block : taken) std::free(block);
    EXPECT_TRUE(caught);
    EXPECT_LT(taken.size(), taken.capacity());
    EXPECT_EQ(afterwards, dropped + 1);
}

// A string that libxml2 gave, released.
std::string Taken(xmlChar* text) {
    const std::string copy = text != nullptr ? reinterpret_cast<const char*>(text) : "";
    xmlFree(text);
    return copy;
}

// Loaded, where the program's throws do not reach it.
const bool kLoaded = kCapture || std::getenv("STDEXCEPTION_EXPECT_LOADED") != nullptr;

TEST(ThrowSiteTest, ReportsForToolsCarryTheFramesForParsers) {
    EXPECT_EQ(ThrowSiteCaptureLoaded(), kLoaded);
    EXPECT_EQ(ThrowSitesActive(), kCapture);
    PauseThrowSites(true);
    EXPECT_TRUE(GetThrowSite(*Caught(GuardedFamily)).empty());
    PauseThrowSites(false);
    for (void (*guarded)() : {GuardedParse, GuardedFamily, GuardedForeign}) {
        const auto e = Caught(guarded);
        SCOPED_TRACE(e->TypeName());
        const std::vector<std::string> values = Values(GetThrowSite(*e));
        EXPECT_EQ(values.empty(), !kCapture);
        const nlohmann::ordered_json json = nlohmann::ordered_json::parse(AsJSON(*e));
        std::vector<std::string> keys;
        for (const auto& item : json.items()) keys.push_back(item.key());
        std::vector<std::string> expected = {"name", "value", "callTrace"};
        if (kCapture) expected.push_back("throwSite");
        if (kCapture && guarded == GuardedForeign) expected.push_back("thrownType");
        EXPECT_EQ(keys, expected);
        EXPECT_EQ(JsonValues(json), values);
        EXPECT_EQ(json.value("thrownType", ""), GetThrownType(*e));
        const std::string xml = AsEscapedXML(*e);
        xmlDoc* doc = xmlReadMemory(xml.data(), int(xml.size()), nullptr, nullptr, 0);
        ASSERT_NE(doc, nullptr);
        std::vector<std::string> fromXML;
        std::string thrownType;
        for (xmlNode* site = xmlDocGetRootElement(doc)->children; site; site = site->next) {
            if (xmlStrcmp(site->name, BAD_CAST "ThrowSite") != 0) continue;
            thrownType = Taken(xmlGetProp(site, BAD_CAST "thrownType"));
            for (xmlNode* frame = site->children; frame; frame = frame->next) {
                for (const char* name : {"address", "inlined", "offset", "buildId"})
                    fromXML.push_back(Taken(xmlGetProp(frame, BAD_CAST name)));
                for (xmlNode* field = frame->children; field; field = field->next)
                    fromXML.push_back(Taken(xmlNodeGetContent(field)));
            }
        }
        xmlFreeDoc(doc);
        EXPECT_EQ(fromXML, values);
        EXPECT_EQ(thrownType, GetThrownType(*e));
        if (!kCapture && guarded == GuardedFamily) {
            EXPECT_EQ(xml, e->AsXML());
        }
    }
}

// The reports that existed before throw sites, the same with capture and
// without (the demo's expected outputs show the readable report's frames).
TEST(ThrowSiteTest, TheReportsOfBeforeStayTheSame) {
    ExpectFile(
        "throwsite-text-xml.txt",
        TextAndXmlReports({GuardedParse, GuardedFamily, GuardedForeign}, Caught<void (*)()>));
}
