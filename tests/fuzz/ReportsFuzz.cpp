// The reports over records that libFuzzer's input shapes: every kind, texts of
// any bytes, extra entries, fields of every kind under any keys, any detail
// level, previous and held exceptions. AsJSON must parse with nlohmann's JSON
// and read back to what the record holds, AsEscapedXML must be well-formed for
// libxml2 and hold the same values; the other reports must survive it. A
// failed check aborts, and libFuzzer keeps the input.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../ReportOracle.h"

using namespace oracle;

#define CHECK(condition) ((condition) ? void() : Fail(#condition, __LINE__))

namespace {

[[noreturn]] void Fail(const char* what, int line) {
    std::fprintf(stderr, "ReportsFuzz.cpp:%d: check failed: %s\n", line, what);
    std::abort();
}

// The choices of the generator, taken from the input: reals of any bits
// (denormals, infinities and NaNs among them), texts of any bytes.
struct FuzzedSource {
    unsigned Pick(unsigned n) { return in.ConsumeIntegralInRange<unsigned>(0, n - 1); }
    std::uint64_t Bits() { return in.ConsumeIntegral<std::uint64_t>(); }
    double Real() {
        const std::uint64_t bits = Bits();
        double x;
        std::memcpy(&x, &bits, sizeof x);
        return x;
    }
    std::string Text() { return in.ConsumeRandomLengthString(64); }

    FuzzedDataProvider& in;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider provider(data, size);
    FuzzedSource in{provider};
    const std::unique_ptr<StdException> e = Generated(in, 2, true);

    const std::string mismatch = Mismatch(*e);
    if (!mismatch.empty()) Fail(mismatch.c_str(), __LINE__);
    CHECK(e->AsString().find(e->DisplayValue()) != std::string::npos);
    CHECK(e->AsXML().find(e->DisplayValue()) != std::string::npos);
    CHECK(AsReadable(*e).back() == '\n');
    OpenTelemetryAttributes(*e);
    AsReadable(std::runtime_error(in.Text()));
    return 0;
}
