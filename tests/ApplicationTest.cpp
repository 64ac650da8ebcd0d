// An application's own kind declared in one line with BasicException, thrown
// and traced through guards whose arguments hold commas outside parentheses
// (capture lists, template arguments). Compared with
// tests/expected/application.xml.

#include <StdException/BasicException>
#include <StdException/Guard>

#include "Probes.h"

#include <memory>
#include <utility>

// The application: plain signatures, so that g++ and clang++ write them alike.
namespace app {

struct ConfigException : Quorbel::BasicException<ConfigException> {
    using BasicException::BasicException;
};

int cleanUps = 0;

std::string Id(int id) { return "id(" + std::to_string(id) + ")"; }

void CleanUp() { ++cleanUps; }

// Each guard stands on one line: of a macro call that spans lines, g++ and
// clang++ record different lines.
void Read(int id) {
    QUORBEL_TRY { QUORBEL_THROW(ConfigException, Id(id), "", "port is not a number"); }
    QUORBEL_CATCH([&, id] { return Id(id); }, std::pair<std::string, int>("read", id).first)
}

void Load(int id) {
    QUORBEL_TRY { Read(id); }
    QUORBEL_CATCH_WITH_CLEANUP([&, id] { return Id(id); }, "load", CleanUp)
}

void Retry(int id) {
    QUORBEL_GUARD_WITH_CLEANUP([&, id] { return Id(id); }, "retry", [=] { Load(id); }, CleanUp);
}

void Run(int id) {
    QUORBEL_GUARD([&, id] { return Id(id); }, "run", [=] { Retry(id); });
}

}  // namespace app

// The kind's name and message, and the report of its way up, of a copy that
// is not sliced and does not see what is added to its source later.
TEST(ApplicationTest, OneLineKindTravelsThroughGuardsWithCommasInTheirArguments) {
    std::unique_ptr<Quorbel::StdException> copy;
    try {
        app::Run(3);
    } catch (Quorbel::StdException& e) {
        copy.reset(e.clone());
        e.AddToCallTrace("later.src", 1, "void later()", "", "");
    }
    ASSERT_NE(dynamic_cast<app::ConfigException*>(copy.get()), nullptr);
    EXPECT_EQ(app::cleanUps, 2);
    probes::ExpectFile("application.xml", copy->AsXML());
}

// An exception carried in a std::exception_ptr is one object, which each
// rethrow through a guard gives one more entry: origin and two entries here.
TEST(ApplicationTest, CarriedExceptionGetsAnEntryAtEachRethrow) {
    const std::exception_ptr carried =
        std::make_exception_ptr(QUORBEL_MAKE(app::ConfigException, "", "", "carried"));
    const auto rethrow = [&] { std::rethrow_exception(carried); };
    EXPECT_THROW(QUORBEL_GUARD("", "", rethrow), app::ConfigException);
    EXPECT_THROW(QUORBEL_GUARD("", "", rethrow), app::ConfigException);
    try {
        rethrow();
    } catch (Quorbel::StdException& e) {
        EXPECT_NE(e.AsXML().find("position=\"2\""), std::string::npos);
        EXPECT_EQ(e.AsXML().find("position=\"3\""), std::string::npos);
    }
}
