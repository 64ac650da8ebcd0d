#include <gtest/gtest.h>

#include <memory>
#include <type_traits>

#include "Probes.h"

using namespace Quorbel;
using namespace probes;

namespace {

// An application exception that counts its live objects, to see copies being made and freed.
struct Counted : AppException {
    static int live;
    Counted() : AppException("n.src", 4, "void n()", "", "", "counted") { ++live; }
    Counted(const Counted& other) : AppException(other) { ++live; }
    ~Counted() override { --live; }
    Counted* clone() const override { return new Counted(*this); }
};
int Counted::live = 0;

BadHandlerException Bad(StdException* original, StdException* handler) {
    return BadHandlerException("b.src", 3, "void b()", "", "", original, handler);
}

TEST(KindsTest, EachKindAndTheBaseNameAndDescribeThemselves) {
    UnexpectedException unexpected("u.src", 1, "void u()", "", "");
    // The standard exceptions arrive through a reference to their base and are gone at once.
    CPPException outOfRange("c.src", 2, "void c()", "", "", std::out_of_range("index 9"));
    const CPPException empty("c.src", 2, "void c()", "", "", std::runtime_error(""));
    const BadHandlerException bad = Bad(&unexpected, &outOfRange);
    const struct { const StdException* e; const char* name; const char* value; } cases[] = {
        {&unexpected, "UnexpectedException", "An unexpected exception was caught in our exception handler."},
        {&outOfRange, "CPPException", "std::out_of_range\r\nindex 9"},
        {&empty, "CPPException", "std::runtime_error\r\n"},
        {&bad, "BadHandlerException", "A CPPException was caught while handling a UnexpectedException exception."}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(c.e->TypeName(), c.name);
        EXPECT_EQ(c.e->DisplayValue(), c.value);
    }
    EXPECT_EQ(unexpected.StdException::TypeName(), "StdException");
    EXPECT_EQ(unexpected.StdException::DisplayValue(), "StdException");
    static_assert(std::is_same<decltype(unexpected.clone()), UnexpectedException*>::value &&
                      std::is_same<decltype(empty.clone()), CPPException*>::value &&
                      std::is_same<decltype(bad.clone()), BadHandlerException*>::value,
                  "clone() returns the kind's own pointer type");
}

TEST(KindsTest, BadHandlerRejectsANullExceptionWithoutLeaking) {
    Counted counted;
    EXPECT_THROW(Bad(nullptr, &counted), CPPException);
    try {
        Bad(&counted, nullptr);
        ADD_FAILURE() << "nothing raised";
    } catch (const CPPException& e) {
        EXPECT_EQ(e.DisplayValue().rfind("std::invalid_argument\r\n", 0), 0u) << e.DisplayValue();
    }
    EXPECT_EQ(Counted::live, 1);  // the clone taken before the failure is gone
}

TEST(KindsTest, BadHandlerHoldsClonesAtItsLevelWithoutStrategiesAndKeepsThemApart) {
    ModuleScope module;
    RecordingStrategy rec(module.log, "rec");
    auto original = std::make_unique<AppException>(MakeChain());
    UnexpectedException handler("u.src", 1, "void u()", "", "");
    original->SetReportingStrategy(&rec);
    StdException::SetDefaultReportingStrategy(&rec);
    StdException::SetDefaultDetailLevel(LowDetail);
    BadHandlerException bad = Bad(original.get(), &handler);
    original.reset();  // the caller's object may go at once
    const std::string head = "A UnexpectedException was caught while handling a AppException exception.\r\n";
    const std::string held =
        "Handler Exception:\r\nAn unexpected exception was caught in our exception handler.\r\n"
        "Original Exception:\r\ntop\r\nTranslated from a previous exception:\r\n{\r\n"
        "middle\r\nTranslated from a previous exception:\r\n{\r\nbottom\r\n}\r\n}\r\n";
    EXPECT_EQ(bad.AsString(), head + held);
    bad.SetDetailLevel(FullDetail);
    bad.SetReportingStrategy(&rec);
    EXPECT_EQ(module.log.clones, 5);  // the original's chain 3, the default 1, bad alone 1
    EXPECT_EQ(bad.AsString(), head + "[0] \tFile : b.src\r\n\tLine : 3\r\n\tFunction signature : void b()\r\n"
                                      "\tParameters : \r\n\tDeveloper Comment : \r\n" + held);
}

TEST(KindsTest, BadHandlerCopiesCloneTheHeldExceptionsAtEveryDepth) {
    Counted counted;
    UnexpectedException unexpected("u.src", 1, "void u()", "", "");
    BadHandlerException inner = Bad(&counted, &unexpected);
    std::unique_ptr<BadHandlerException> source(
        new BadHandlerException("b.src", 3, "void b()", "", "", &inner, &unexpected));
    const std::string report = source->AsString();
    BadHandlerException copied(*source);
    const std::unique_ptr<BadHandlerException> cloned(source->clone());
    BadHandlerException assigned = Bad(&counted, &counted);
    assigned = *source;  // deletes its two former Counted clones
    source.reset();
    EXPECT_EQ(Counted::live, 5);  // the local, inner's and one below each of the three copies
    for (const BadHandlerException* e : {&copied, cloned.get(), &assigned}) EXPECT_EQ(e->AsString(), report);
}

}  // namespace
