#include "dbus/connection.hpp"
#include "dbus/match.hpp"
#include "dbus/test/bus_fixture.hpp"
#include "simboard/bus/private_bus.hpp"

#include <boost/asio/post.hpp>
#include <boost/container/flat_map.hpp>

#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

namespace dbus
{
namespace
{

using namespace std::chrono_literals;
using test::server_iface;
using test::server_name;
using test::server_path;

constexpr const char* bus_name = "org.freedesktop.DBus";
constexpr const char* bus_path = "/org/freedesktop/DBus";

std::string signal_rule(const std::string& member)
{
    return "type='signal',interface='test.Signals',member='" + member + "'";
}

/** Runs io until its run() throws loop_failure; its text, or "" when none
 *  came within timeout. */
std::string run_to_failure(boost::asio::io_context& io,
                           std::chrono::milliseconds timeout = 5s)
{
    try
    {
        test::run_until(
            io, [] { return false; }, timeout);
    }
    catch (const loop_failure& e)
    {
        return e.what();
    }
    return "";
}

/** Sends test.Signals.<member>(text) on conn, from /test/sender. */
void send_signal(connection& conn, const std::string& member,
                 const std::string& text)
{
    conn.emit_signal("/test/sender", "test.Signals", member, text);
}

TEST(connection, DefaultBusIsTheTestBus)
{
    boost::asio::io_context io;
    auto conn = std::make_shared<connection>(io);
    conn->request_name("test.default");
    auto other = connection::open(io, test::bus_address());
    EXPECT_EQ(other->call_method<std::string>(bus_name, bus_path, bus_name,
                                              "GetNameOwner",
                                              std::string("test.default")),
              conn->unique_name());
    EXPECT_EQ(&conn->get_io_context(), &io);
}

TEST(connection, RequestingAnOwnedNameThrows)
{
    boost::asio::io_context io;
    auto owner = connection::open(io, test::bus_address());
    auto other = connection::open(io, test::bus_address());
    owner->request_name("test.owned");
    try
    {
        other->request_name("test.owned");
        FAIL() << "second owner accepted";
    }
    catch (const error& e)
    {
        EXPECT_EQ(e.operation(), "sd_bus_request_name");
    }
}

/** Calls to a server in another process. */
class call_test : public test::server_test
{
  protected:
    template <typename Ret = void, typename... Args>
    Ret call(const std::string& member, const Args&... args)
    {
        return conn->call_method<Ret>(server_name, server_path, server_iface,
                                      member, args...);
    }

    /** Runs an async call to the server; returns (error, result). */
    template <typename Ret, typename... Args>
    std::pair<boost::system::error_code, Ret> async_call(
        const std::string& service, const std::string& member,
        const Args&... args)
    {
        std::optional<std::pair<boost::system::error_code, Ret>> result;
        conn->async_method_call<Ret>(
            [&result](boost::system::error_code ec, Ret value) {
                result.emplace(ec, std::move(value));
            },
            service, server_path, server_iface, member, args...);
        EXPECT_TRUE(test::run_until(io, [&] { return result.has_value(); }));
        return result.value_or(std::pair<boost::system::error_code, Ret>{});
    }
};

TEST_F(call_test, BlockingCallsReturnTypedReplies)
{
    EXPECT_EQ(call<std::string>("Echo", std::string("hello")), "hello");
    EXPECT_EQ((call<std::tuple<std::string, std::string>>(
                  "Split", std::string("key=value"))),
              std::make_tuple(std::string("key"), std::string("value")));
    EXPECT_EQ(call<int64_t>("Sum", std::vector<int32_t>{1, 2, 2147483647}),
              2147483650);
    using records =
        std::vector<std::tuple<std::string, std::string, std::string>>;
    EXPECT_EQ(call<records>("Records"),
              (records{{"a", "b", "c"}, {"d", "e", "f"}}));
    EXPECT_EQ(
        (call<boost::container::flat_map<std::string, uint32_t>>("Table")),
        (boost::container::flat_map<std::string, uint32_t>{{"one", 1},
                                                           {"two", 2}}));
    // The server's handler itself makes a blocking call.
    EXPECT_FALSE(call<std::string>("Nested").empty());
}

TEST_F(call_test, VariantArgumentFallsBackOnTheServer)
{
    using arg = std::variant<std::string, int32_t, std::vector<std::string>>;
    EXPECT_EQ(call<std::string>("Describe", arg("x")), "string:x");
    EXPECT_EQ(
        call<std::string>("Describe", arg(std::vector<std::string>{"a", "b"})),
        "list:2");
    EXPECT_EQ(call<std::string>("Describe", arg(42)), "list:0");
}

TEST_F(call_test, BlockingCallFailuresThrow)
{
    /** The error body() throws; a default one if it throws none. */
    auto caught = [](auto&& body) {
        try
        {
            body();
        }
        catch (const error& e)
        {
            return e;
        }
        ADD_FAILURE() << "no error";
        return error("none", "none");
    };
    const error busy = caught([&] {
        call("Fail", std::string("org.example.Error.Busy"),
             std::string("try later"));
    });
    EXPECT_EQ(busy.name(), "org.example.Error.Busy");
    EXPECT_EQ(busy.description(), "try later");
    EXPECT_EQ(busy.operation(), "sd_bus_call");

    const error thrown = caught([&] { call("Throw"); });
    EXPECT_EQ(thrown.name(), SD_BUS_ERROR_FAILED);
    EXPECT_EQ(thrown.description(), "handler broke");

    EXPECT_EQ(caught([&] { call("NoSuchMethod"); }).name(),
              SD_BUS_ERROR_UNKNOWN_METHOD);
    EXPECT_EQ(caught([&] { call("Echo", int32_t{1}); }).name(),
              SD_BUS_ERROR_INVALID_ARGS);
    EXPECT_EQ(caught([&] {
                  conn->call_method("test.absent", "/", "test.Iface", "Echo");
              }).name(),
              SD_BUS_ERROR_SERVICE_UNKNOWN);
    // A reply that is not of the expected type.
    EXPECT_THROW(call<int32_t>("Echo", std::string("1")), error);
    EXPECT_THROW(call<std::string>("Split", std::string("a=b")), error);
}

TEST_F(call_test, AsyncCallsDeliverValuesOrErrno)
{
    auto [ec, text] =
        async_call<std::string>(server_name, "Echo", std::string("async"));
    EXPECT_FALSE(ec);
    EXPECT_EQ(text, "async");

    auto [failed, none] = async_call<std::string>(
        server_name, "Fail", std::string(SD_BUS_ERROR_ACCESS_DENIED),
        std::string("no"));
    EXPECT_EQ(failed.value(), EACCES);
    EXPECT_EQ(failed.category(), boost::system::system_category());
    EXPECT_EQ(none, "");

    auto [absent, ignored] =
        async_call<std::string>("test.absent", "Echo", std::string("x"));
    EXPECT_EQ(absent.value(), EHOSTUNREACH);

    auto [bad_type,
          number] = async_call<int32_t>(server_name, "Echo", std::string("x"));
    EXPECT_EQ(bad_type.value(), EBADMSG);
    EXPECT_EQ(number, 0);
}

TEST_F(call_test, AsyncVoidCallAndNestedCallsFromTheHandler)
{
    std::optional<boost::system::error_code> first;
    std::string nested;
    std::optional<boost::system::error_code> chained;
    conn->async_method_call(
        [&](boost::system::error_code ec) {
            first = ec;
            // Blocking and async calls from inside a reply handler.
            nested = conn->call_method<std::string>(
                server_name, server_path, server_iface, "Echo",
                std::string("inner"));
            conn->async_method_call(
                [&](boost::system::error_code ec2) { chained = ec2; },
                server_name, server_path, server_iface, "Echo",
                std::string("chained"));
        },
        server_name, server_path, server_iface, "Echo", std::string("outer"));
    ASSERT_TRUE(test::run_until(io, [&] { return chained.has_value(); }));
    EXPECT_FALSE(*first);
    EXPECT_EQ(nested, "inner");
    EXPECT_FALSE(*chained);
}

TEST_F(call_test, FailingToSendIsReportedLater)
{
    std::vector<int> errors;
    auto record = [&errors](boost::system::error_code ec, std::string) {
        errors.push_back(ec.value());
    };
    conn->async_method_call<std::string>(record, "not a bus name", server_path,
                                         server_iface, "Echo");
    conn->async_method_call<std::string>(
        record, server_name, server_path, server_iface, "Echo",
        object_path("not a path"));
    EXPECT_TRUE(errors.empty()) << "handler called inline";
    ASSERT_TRUE(test::run_until(io, [&] { return errors.size() == 2; }));
    EXPECT_EQ(errors, (std::vector<int>{EINVAL, EINVAL}));
}

TEST_F(call_test, SignalFromTheServerReachesAMatch)
{
    std::vector<std::string> received;
    match ping(*conn,
               "type='signal',interface='test.Iface',member='Ping',path='" +
                   std::string(server_path) + "'",
               [&received](message& m) {
                   received.push_back(m.read<std::string>());
               });
    call("Emit", std::string("one"));
    ASSERT_TRUE(test::run_until(io, [&] { return !received.empty(); }));
    EXPECT_EQ(received, std::vector<std::string>{"one"});
}

/** A peer that owns a name but never answers. */
class timeout_test : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        silent->request_name("test.silent");
        conn->set_method_call_timeout(200ms);
    }

    boost::asio::io_context io;
    boost::asio::io_context never_run;
    std::shared_ptr<connection> silent =
        connection::open(never_run, test::bus_address());
    std::shared_ptr<connection> conn =
        connection::open(io, test::bus_address());
};

TEST_F(timeout_test, BlockingCallTimesOut)
{
    try
    {
        conn->call_method("test.silent", "/", "test.Iface", "Echo");
        FAIL() << "no timeout";
    }
    catch (const error& e)
    {
        EXPECT_EQ(e.get_errno(), ETIMEDOUT) << e.what();
        EXPECT_EQ(e.operation(), "sd_bus_call");
    }
}

TEST_F(timeout_test, AsyncCallTimesOut)
{
    std::optional<boost::system::error_code> result;
    conn->async_method_call(
        [&result](boost::system::error_code ec) { result = ec; }, "test.silent",
        "/", "test.Iface", "Echo");
    ASSERT_TRUE(test::run_until(io, [&] { return result.has_value(); }));
    EXPECT_EQ(result->value(), ETIMEDOUT);
}

/** Signal matches between two connections of this process. */
class match_test : public ::testing::Test
{
  protected:
    boost::asio::io_context io;
    std::shared_ptr<connection> sender =
        connection::open(io, test::bus_address());
    std::shared_ptr<connection> receiver =
        connection::open(io, test::bus_address());
};

TEST_F(match_test, DestroyedMatchNoLongerFires)
{
    std::vector<std::string> first;
    std::vector<std::string> last;
    auto watched = std::make_unique<match>(
        *receiver, signal_rule("Tick"),
        [&first](message& m) { first.push_back(m.read<std::string>()); });
    match closing(*receiver, signal_rule("Last"), [&last](message& m) {
        last.push_back(m.read<std::string>());
    });

    send_signal(*sender, "Tick", "1");
    ASSERT_TRUE(test::run_until(io, [&] { return first.size() == 1; }));
    watched.reset();
    send_signal(*sender, "Tick", "2");
    send_signal(*sender, "Last", "end");
    // Signals from one sender arrive in order: Tick 2 came before Last.
    ASSERT_TRUE(test::run_until(io, [&] { return !last.empty(); }));
    EXPECT_EQ(first, std::vector<std::string>{"1"});
}

TEST_F(match_test, CallbackMayDestroyItsMatchAndAThrowingOneEndsTheLoop)
{
    int one_shot_calls = 0;
    int throwing_calls = 0;
    std::vector<std::string> last;
    std::optional<match> one_shot;
    one_shot.emplace(*receiver, signal_rule("Tick"), [&](message&) {
        ++one_shot_calls;
        one_shot.reset();
    });
    match closing(*receiver, signal_rule("Last"), [&last](message& m) {
        last.push_back(m.read<std::string>());
    });
    send_signal(*sender, "Tick", "1");
    send_signal(*sender, "Tick", "2");
    send_signal(*sender, "Last", "ticks");
    ASSERT_TRUE(test::run_until(io, [&] { return !last.empty(); }));
    EXPECT_EQ(one_shot_calls, 1);

    match throwing(*receiver, signal_rule("Boom"), [&](message&) {
        ++throwing_calls;
        throw std::runtime_error("callback failed");
    });
    send_signal(*sender, "Boom", "1");
    send_signal(*sender, "Boom", "2");
    send_signal(*sender, "Last", "booms");
    EXPECT_EQ(run_to_failure(io), "match callback: callback failed");
    // Nothing more is dispatched on a failed connection.
    EXPECT_FALSE(test::run_until(
        io, [&] { return last.size() == 2; }, 100ms));
    EXPECT_EQ(throwing_calls, 1);
}

TEST_F(match_test, SignalQueuedDuringABlockingCallIsProcessed)
{
    std::vector<std::string> received;
    match tick(*receiver, signal_rule("Tick"), [&received](message& m) {
        received.push_back(m.read<std::string>());
    });
    send_signal(*sender, "Tick", "queued");
    // Once the daemon answers the sender, it has routed the signal.
    sender->call_method<std::string>(bus_name, bus_path, bus_name, "GetId");
    // The receiver's blocking call reads the signal off the socket before
    // its reply and leaves it queued inside sd-bus: still delivered.
    receiver->call_method<std::string>(bus_name, bus_path, bus_name, "GetId");
    ASSERT_TRUE(test::run_until(io, [&] { return !received.empty(); }));
    EXPECT_EQ(received, std::vector<std::string>{"queued"});
}

TEST_F(match_test, ExceptionFromAsyncHandlerEndsTheLoop)
{
    bool after = false;
    receiver->async_method_call(
        [](boost::system::error_code) { throw std::runtime_error("oops"); },
        bus_name, bus_path, bus_name, "GetId");
    receiver->async_method_call<std::string>(
        [](boost::system::error_code, std::string) {
            throw std::runtime_error("oops");
        },
        "not a bus name", bus_path, bus_name, "GetId");
    receiver->async_method_call<std::string>(
        [&after](boost::system::error_code, const std::string&) {
            after = true;
        },
        bus_name, bus_path, bus_name, "GetId");
    EXPECT_EQ(run_to_failure(io), "async call handler: oops");
    EXPECT_FALSE(test::run_until(
        io, [&] { return after; }, 100ms));
}

TEST(connection, LossEndsTheLoopOnce)
{
    boost::asio::io_context io;
    auto bus = std::make_unique<simboard::private_bus>();
    auto conn = connection::open(io, bus->address());
    std::optional<boost::system::error_code> pending;
    conn->async_method_call<std::string>(
        [&pending](boost::system::error_code ec, const std::string&) {
            pending = ec;
        },
        "test.nobody", "/", "test.Iface", "Never");
    bus.reset();
    const std::string failure = run_to_failure(io);
    EXPECT_EQ(failure.rfind("D-Bus connection lost: ", 0), 0U) << failure;
    EXPECT_EQ(run_to_failure(io, 100ms), "");
    // The call under way is answered with a failure, not dropped.
    ASSERT_TRUE(pending.has_value());
    EXPECT_TRUE(*pending);
}

} // namespace
} // namespace dbus
