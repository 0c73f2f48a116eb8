#include "dbus/connection.hpp"
#include "dbus/message.hpp"
#include "dbus/test/bus_fixture.hpp"

#include <boost/container/flat_map.hpp>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

namespace dbus
{
namespace
{

using boost::container::flat_map;
using value =
    std::variant<std::string, int32_t, bool, std::vector<std::string>>;
using managed_map =
    std::map<object_path, std::map<std::string, std::map<std::string, value>>>;
using managed_list =
    std::vector<std::pair<object_path,
                          flat_map<std::string, flat_map<std::string, value>>>>;
using records = std::vector<std::tuple<std::string, std::string, std::string>>;

constexpr bool same(const char* a, std::string_view b)
{
    return std::string_view(a) == b;
}

static_assert(same(signature_v<bool, uint8_t, int16_t, uint16_t>, "bynq"));
static_assert(same(signature_v<int32_t, uint32_t, int64_t, uint64_t>, "iuxt"));
static_assert(same(signature_v<double, std::string, object_path>, "dso"));
static_assert(same(signature_v<const char*>, "s"));
static_assert(same(signature_v<managed_map>, "a{oa{sa{sv}}}"));
static_assert(same(signature_v<managed_list>, "a{oa{sa{sv}}}"));
static_assert(same(signature_v<records>, "a(sss)"));
static_assert(same(signature_v<flat_map<std::string, uint32_t>>, "a{su}"));
static_assert(same(signature_v<std::tuple<bool, std::vector<double>>>,
                   "(bad)"));
static_assert(same(signature_v<value>, "v"));

/** Messages built locally, sealed and read back. */
class message_test : public ::testing::Test
{
  protected:
    template <typename... Ts>
    message sealed(const Ts&... values)
    {
        message m = conn->new_method_call("test.none", "/", "test.Iface", "M");
        m.append(values...);
        EXPECT_GE(sd_bus_message_seal(m.get(), 1, 0), 0);
        EXPECT_GE(sd_bus_message_rewind(m.get(), 1), 0);
        return m;
    }

    template <typename T>
    void expect_round_trip(const T& original)
    {
        message m = sealed(original);
        EXPECT_EQ(m.signature(), signature_v<T>);
        EXPECT_EQ(m.read<T>(), original);
    }

    boost::asio::io_context io;
    std::shared_ptr<connection> conn =
        connection::open(io, test::bus_address());
};

TEST_F(message_test, BasicTypesRoundTrip)
{
    expect_round_trip(true);
    expect_round_trip(false);
    expect_round_trip(uint8_t{255});
    expect_round_trip(std::numeric_limits<int16_t>::min());
    expect_round_trip(uint16_t{65535});
    expect_round_trip(std::numeric_limits<int32_t>::min());
    expect_round_trip(std::numeric_limits<uint32_t>::max());
    expect_round_trip(std::numeric_limits<int64_t>::min());
    expect_round_trip(std::numeric_limits<uint64_t>::max());
    expect_round_trip(-0.125);
    expect_round_trip(std::string("text with ünïcode"));
    expect_round_trip(std::string());
    expect_round_trip(object_path("/xyz/openbmc_project/a_b"));
}

TEST_F(message_test, ContainersRoundTrip)
{
    expect_round_trip(std::vector<std::string>{});
    expect_round_trip(std::vector<bool>{true, false, true});
    expect_round_trip(records{{"a", "b", "c"}, {"", "e", "f"}});
    expect_round_trip(flat_map<std::string, uint32_t>{{"x", 1}, {"y", 2}});
    expect_round_trip(std::tuple<bool, std::vector<double>>{true, {1.5, 2}});
    expect_round_trip(managed_map{
        {object_path("/a"), {{"i.One", {{"S", "s"}, {"N", 7}}}, {"i.Two", {}}}},
        {object_path("/b"),
         {{"i.Three",
           {{"L", std::vector<std::string>{"x", "y"}}, {"B", true}}}}}});
    expect_round_trip(
        managed_list{{object_path("/a"), {{"i.One", {{"S", "s"}, {"N", -1}}}}},
                     {object_path("/b"), {}}});
}

TEST_F(message_test, SeveralValuesInSequence)
{
    message m = sealed(int32_t{-4}, "literal", object_path("/p"),
                       std::map<std::string, value>{{"k", true}});
    EXPECT_EQ(m.signature(), "isoa{sv}");
    int32_t number = 0;
    std::string text;
    object_path path;
    std::map<std::string, value> dict;
    m.read(number, text, path, dict);
    EXPECT_EQ(number, -4);
    EXPECT_EQ(text, "literal");
    EXPECT_EQ(path.str, "/p");
    EXPECT_EQ(dict, (std::map<std::string, value>{{"k", true}}));
}

TEST_F(message_test, VariantReadsExactMatchOrFallsBackToFirstAlternative)
{
    using config = std::variant<std::vector<std::string>, std::string, int64_t>;
    // uint32_t, a string and an a{sv} none of which some reader expects.
    message m =
        sealed(std::variant<uint32_t>(5U), std::variant<std::string>("text"),
               std::variant<std::map<std::string, value>>(
                   std::map<std::string, value>{{"k", 1}}),
               std::variant<int64_t>(9), int32_t{77});
    EXPECT_EQ(m.read<config>(), config(std::vector<std::string>{}));
    EXPECT_EQ(m.read<std::variant<int32_t>>(), std::variant<int32_t>(0));
    EXPECT_EQ(m.read<std::variant<std::string>>(),
              std::variant<std::string>(""));
    EXPECT_EQ(m.read<config>(), config(int64_t{9}));
    // The skipped values left the message in step.
    EXPECT_EQ(m.read<int32_t>(), 77);
}

TEST_F(message_test, WrongTypeOrMissingValueThrows)
{
    auto expect_read_error = [](auto read) {
        try
        {
            read();
            ADD_FAILURE() << "read did not throw";
        }
        catch (const error& e)
        {
            EXPECT_EQ(e.operation(), "sd_bus_message_read");
        }
    };
    message text = sealed(std::string("x"));
    expect_read_error([&] { text.read<int32_t>(); });
    message dict = sealed(std::map<std::string, std::string>{{"a", "b"}});
    expect_read_error([&] { dict.read<std::vector<std::string>>(); });
    expect_read_error([&] { dict.read<std::map<std::string, int32_t>>(); });
    // A variant reader still needs a variant.
    message plain = sealed(int32_t{1});
    expect_read_error([&] { plain.read<std::variant<int32_t>>(); });
    message empty = sealed();
    expect_read_error([&] { empty.read<std::string>(); });
    expect_read_error([&] { empty.read<std::vector<std::string>>(); });
}

TEST_F(message_test, PeekTypeShowsWhatComesNext)
{
    message m = sealed(
        std::variant<std::vector<std::string>>(std::vector<std::string>{"a"}),
        std::map<std::string, int32_t>{}, uint8_t{1});
    EXPECT_EQ(m.peek_type(), std::make_pair('v', std::string("as")));
    m.read<std::variant<std::vector<std::string>>>();
    EXPECT_EQ(m.peek_type(), std::make_pair('a', std::string("{si}")));
    m.read<std::map<std::string, int32_t>>();
    EXPECT_EQ(m.peek_type().first, 'y');
}

TEST_F(message_test, ReadReplyChecksTheWholeSignature)
{
    using pair_t = std::tuple<std::string, uint32_t>;
    message out_args = sealed(std::string("a"), uint32_t{2});
    EXPECT_EQ(read_reply<pair_t>(out_args), pair_t("a", 2));
    message struct_arg = sealed(pair_t("b", 3));
    EXPECT_EQ(read_reply<pair_t>(struct_arg), pair_t("b", 3));
    // One string too many is not a string.
    message extra = sealed(std::string("a"), std::string("b"));
    EXPECT_THROW(read_reply<std::string>(extra), error);
}

TEST(error, CarriesNameDescriptionAndOperation)
{
    const error from_errno(-ENOENT, "sd_bus_call");
    EXPECT_EQ(from_errno.get_errno(), ENOENT);
    EXPECT_EQ(from_errno.operation(), "sd_bus_call");
    EXPECT_FALSE(from_errno.name().empty());

    const sd_bus_error bus_error =
        SD_BUS_ERROR_MAKE_CONST(SD_BUS_ERROR_ACCESS_DENIED, "not for you");
    const error from_bus(&bus_error, "sd_bus_request_name");
    EXPECT_EQ(from_bus.name(), SD_BUS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(from_bus.description(), "not for you");
    EXPECT_EQ(from_bus.get_errno(), EACCES);
    const std::string what = from_bus.what();
    EXPECT_NE(what.find("sd_bus_request_name"), std::string::npos);
    EXPECT_NE(what.find(SD_BUS_ERROR_ACCESS_DENIED), std::string::npos);
    EXPECT_NE(what.find("not for you"), std::string::npos);

    const error unnamed("", "no name given");
    EXPECT_EQ(unnamed.name(), SD_BUS_ERROR_FAILED);
    EXPECT_GT(unnamed.get_errno(), 0);
}

} // namespace
} // namespace dbus
