#include "dbus/connection.hpp"
#include "simboard/peers/test/peers_fixture.hpp"
#include "simboard/peers/typed_value.hpp"

#include <stdexcept>

#include <gtest/gtest.h>

namespace simboard::peers
{
namespace
{

using nlohmann::json;

class TypedValueTest : public ::testing::Test
{
  protected:
    /** v appended to a sealed message and read back. */
    typed_value round_trip(const typed_value& v)
    {
        dbus::message m = new_message();
        append_value(m.get(), v);
        EXPECT_GE(sd_bus_message_seal(m.get(), 1, 0), 0);
        return {v.signature, read_arguments(m.get()).at(0)};
    }

    dbus::message new_message()
    {
        return sim.client().new_signal("/", "test.Iface", "Test");
    }

    simboard::board sim{json::object()};
};

TEST_F(TypedValueTest, EveryTypeGoesOnTheBusExactlyAsWritten)
{
    const json cases = json::parse(R"js([
        ["y", 255], ["n", -32768], ["q", 65535], ["i", -5],
        ["u", 4294967295], ["x", -9000000000000000000],
        ["t", 18446744073709551615], ["d", 2.5], ["b", true],
        ["s", "text"], ["o", "/a/b"], ["g", "a{sv}"],
        ["as", ["a", "b"]], ["ai", [1, -2]], ["ay", []],
        ["a{sv}", {"Bus": ["t", 7], "Name": ["s", "M2"]}],
        ["a{tq}", {"7": 3}], ["(sis)", ["a", 1, "b"]],
        ["a(ss)", [["x", "y"]]], ["v", ["ad", [1.5]]],
        ["aa{sv}", [{"k": ["v", ["b", false]]}]]
    ])js");
    for (const json& c : cases)
    {
        const typed_value v = parse_typed_value(c);
        EXPECT_EQ(round_trip(v), v) << c.dump();
    }
}

TEST_F(TypedValueTest, ValuesThatDoNotFitTheirTypeAreRefused)
{
    const json cases = json::parse(R"js([
        ["y", 256], ["y", -1], ["n", 32768], ["i", 2147483648], ["u", -1],
        ["x", 18446744073709551615], ["t", "7"], ["q", 1.5], ["d", "x"],
        ["b", 1], ["s", 5], ["o", "no/slash"], ["g", "a{"], ["as", "x"],
        ["as", [1]], ["(is)", [1]], ["(is)", [1, "a", "b"]],
        ["a{sv}", []], ["a{tq}", {"seven": 3}], ["v", [1, 2]],
        ["", 1], ["ss", "x"], ["a", []], ["(is", [1, "a"]],
        ["{sv}", ["a", ["s", "b"]]], ["h", 0]
    ])js");
    for (const json& c : cases)
    {
        dbus::message m = new_message();
        EXPECT_THROW(append_value(m.get(), parse_typed_value(c)),
                     std::invalid_argument)
            << c.dump();
    }
}

TEST(TypedValueParse, TakesTextOrASignatureValuePair)
{
    EXPECT_EQ(parse_typed_value("On"), (typed_value{"s", "On"}));
    EXPECT_EQ(parse_typed_value(json::parse(R"(["t", 7])")),
              (typed_value{"t", 7}));
    for (const char* bad : {"7", "[1, 2]", R"(["s"])", R"({"s": 1})", "true"})
    {
        EXPECT_THROW(parse_typed_value(json::parse(bad)), std::invalid_argument)
            << bad;
    }
}

} // namespace
} // namespace simboard::peers
