// An application's own kind declared in one line with BasicException, thrown
// and traced through guards whose arguments hold commas outside parentheses
// (capture lists, template arguments). Compared with
// tests/expected/application.txt.

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

// The kind's name, message and copy, and the report of its way up.
TEST(ApplicationTest, OneLineKindTravelsThroughGuardsWithCommasInTheirArguments) {
    try {
        app::Run(3);
        ADD_FAILURE() << "nothing escaped";
    } catch (Quorbel::StdException& e) {
        EXPECT_EQ(app::cleanUps, 2);
        EXPECT_EQ(e.TypeName(), "app::ConfigException");
        EXPECT_EQ(e.DisplayValue(), "port is not a number");
        const std::unique_ptr<Quorbel::StdException> copy(e.clone());
        e.AddToCallTrace("later.src", 1, "void later()", "", "");
        EXPECT_NE(dynamic_cast<app::ConfigException*>(copy.get()), nullptr);  // not sliced
        probes::ExpectFile("application.txt", copy->AsString());
    }
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
