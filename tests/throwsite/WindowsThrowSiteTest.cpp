// Throw sites on Windows (x86-64 and i686), in a program linked with the
// capture DLL (STDEXCEPTION_EXPECT_CAPTURE set) and in one without it.

#include <StdException/Guard>
#include <StdException/Reports>
#include <StdException/ThrowSite>

#include <windows.h>

#include <fstream>
#include <thread>

#include "../Probes.h"
#include "Sites.h"

using namespace Quorbel;
using namespace probes;
using namespace sites;

void ThrowInt(int value);

[[gnu::noinline]] void Inner() { throw App("inner", "t.src", 7); }
[[gnu::noinline]] void Parse() { std::stoi("eighty"); }
[[gnu::noinline]] void Foreign() { ThrowInt(42); }
[[gnu::noinline]] void Buried() {
    char buffer[12000];
    asm volatile("" : : "r"(buffer) : "memory");
    Inner();
    asm volatile("");
}

template <class Op>
std::unique_ptr<StdException> Caught(Op op) {
    try {
        QUORBEL_GUARD("", "", op);
    } catch (StdException& e) {
        return std::unique_ptr<StdException>(e.clone());
    }
    return nullptr;
}

std::exception_ptr Kept(void (*thrower)()) {
    try {
        thrower();
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

// "module function|" of the first two frames; checks that each frame's offset is its RVA.
std::string Innermost(const StdException& e) {
    const std::vector<NativeFrame> site = GetThrowSite(e);
    std::string text;
    for (std::size_t i = 0; i < site.size(); ++i) {
        const std::string name = site[i].module.substr(site[i].module.find_last_of("\\/") + 1);
        EXPECT_EQ(site[i].address - site[i].offset, std::uintptr_t(GetModuleHandleA(name.c_str())));
        if (i < 2) text += name + " " + site[i].function + "|";
    }
    return text;
}

const bool kCapture = std::getenv("STDEXCEPTION_EXPECT_CAPTURE") != nullptr;

TEST(WindowsThrowSiteTest, EachWayToThrowKeepsTheFramesOfItsFirstThrow) {
    if (!kCapture) GTEST_SKIP() << "the capture DLL is not linked";
    // The JSON reports, for stdexception-symbolize to read (tests/symbolize/pe.sh).
    std::ofstream reports;
    if (const char* file = std::getenv("STDEXCEPTION_REPORTS")) reports.open(file);
    std::exception_ptr carried;
    std::thread([&] { carried = Kept(Inner); }).join();
    const std::string program = "stdexception_throwsite_win.exe |";
    const std::pair<std::unique_ptr<StdException>, std::string> rows[] = {
        {Caught(Inner), "libstdc++-6.dll __cxa_throw|" + program},
        {Caught(Parse),
         "libstdc++-6.dll __cxa_throw|libstdc++-6.dll std::__throw_invalid_argument(char const*)|"},
        {Caught(Foreign), "libstdc++-6.dll __cxa_throw|libstdexception_thrower.dll ThrowInt(int)|"},
        {Caught([&] { std::rethrow_exception(carried); }),
         "libstdc++-6.dll __cxa_throw|" + program},
        {Caught([] {
             try {
                 Inner();
             } catch (...) {
                 throw;
             }
         }),
         "libstdc++-6.dll __cxa_throw|" + program},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.second);
        ASSERT_NE(row.first, nullptr);
        EXPECT_EQ(Innermost(*row.first), row.second);
        EXPECT_EQ(JsonValues(nlohmann::ordered_json::parse(AsJSON(*row.first))),
                  Values(GetThrowSite(*row.first)));
        if (reports.is_open()) reports << AsJSON(*row.first) << "\n";
    }
}

TEST(WindowsThrowSiteTest, TenThousandKeptFailuresEachKeepTheirFrames) {
    if (!kCapture) GTEST_SKIP() << "the capture DLL is not linked";
    const std::uint64_t dropped = ThrowsWithoutFrames();
    std::vector<std::exception_ptr> kept;
    for (int i = 0; i < 10000; ++i) kept.push_back(Kept(Inner));
    const auto site = [](std::exception_ptr e) {
        return GetThrowSite(*Caught([&] { std::rethrow_exception(e); }));
    };
    const std::size_t frames = site(kept.front()).size();
    ASSERT_GT(frames, 2u);
    EXPECT_EQ(site(kept.front())[1].buildId.size(), 33u);  // the program's GUID and age
    for (const std::exception_ptr& e : kept) ASSERT_EQ(site(e).size(), frames);
    EXPECT_EQ(ThrowsWithoutFrames(), dropped);
}

TEST(WindowsThrowSiteTest, AFrameLargerThanTheCopyOfTheStackEndsTheFrames) {
    if (!kCapture) GTEST_SKIP() << "the capture DLL is not linked";
#if defined(__i386__)
    GTEST_SKIP() << "the i686 hook walks the frames at the throw: no copy of the stack";
#endif
    const std::vector<NativeFrame> site = GetThrowSite(*Caught(Buried));
    ASSERT_EQ(site.size(), 4u);
    EXPECT_EQ(Innermost(*Caught(Buried)),
              "libstdc++-6.dll __cxa_throw|stdexception_throwsite_win.exe |");
    EXPECT_EQ(site[3].function, "(the copy of the stack ends here)");
    EXPECT_EQ(site[3].address, 0u);
}

TEST(WindowsThrowSiteTest, TheReportsOfBeforeStayTheSame) {
    ExpectFile("throwsite-text-xml-win.txt",
               TextAndXmlReports({Inner, Parse, Foreign}, Caught<void (*)()>));
}
