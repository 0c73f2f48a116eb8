#include "dbus/connection.hpp"
#include "dbus/dbus_interface.hpp"
#include "dbus/match.hpp"
#include "dbus/object_server.hpp"
#include "dbus/properties.hpp"
#include "dbus/test/bus_fixture.hpp"
#include "simboard/fixture/call_as_user.hpp"

#include <unistd.h>

#include <boost/container/flat_map.hpp>

#include <algorithm>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

namespace dbus
{
namespace
{

using test::server_iface;
using test::server_name;
using test::server_path;

constexpr const char* manager_iface = "org.freedesktop.DBus.ObjectManager";

using value = std::variant<std::string, uint32_t, int32_t>;
using property_map = boost::container::flat_map<std::string, value>;

/** Properties of the server in another process, over the bus. */
class remote_property_test : public test::server_test
{
  protected:
    static remote_property property(const std::string& name)
    {
        return {server_name, server_path, server_iface, name};
    }

    template <typename T>
    T get(const std::string& name)
    {
        return get_property<T>(*conn, property(name));
    }

    template <typename T>
    void set(const std::string& name, const T& v)
    {
        set_property(*conn, property(name), v);
    }

    std::string set_error(const std::string& name, const value& v)
    {
        try
        {
            conn->call_method(server_name, server_path, properties_interface,
                              "Set", std::string(server_iface), name, v);
        }
        catch (const error& e)
        {
            return e.name();
        }
        return "";
    }
};

TEST_F(remote_property_test, GetSetAndGuardedWrites)
{
    EXPECT_EQ(get<std::string>("Name"), "initial");
    EXPECT_EQ(set_error("Name", std::string("other")),
              SD_BUS_ERROR_PROPERTY_READ_ONLY);
    EXPECT_EQ(set_error("Level", std::string("wrong type")),
              SD_BUS_ERROR_INVALID_ARGS);

    set("Level", uint32_t{7});
    EXPECT_EQ(get<uint32_t>("Level"), 7U);

    set("Limit", int32_t{500});
    EXPECT_EQ(get<int32_t>("Limit"), 100);
    EXPECT_EQ(set_error("Limit", int32_t{-1}), SD_BUS_ERROR_INVALID_ARGS);
    EXPECT_EQ(get<int32_t>("Limit"), 100);
    EXPECT_EQ(set_error("Locked", std::string("other")),
              SD_BUS_ERROR_ACCESS_DENIED);
    EXPECT_EQ(get<std::string>("Locked"), "fixed");

    auto all = conn->call_method<property_map>(
        server_name, server_path, properties_interface, "GetAll",
        std::string(server_iface));
    EXPECT_EQ(all, (property_map{{"Level", uint32_t{7}},
                                 {"Limit", int32_t{100}},
                                 {"Locked", std::string("fixed")},
                                 {"Name", std::string("initial")}}));
}

TEST_F(remote_property_test, AsynchronousGetSetAndGetAll)
{
    std::vector<std::string> outcomes;
    async_set_property(*conn, property("Level"), uint32_t{9},
                       [&](boost::system::error_code ec) {
                           outcomes.push_back("set " + ec.message());
                       });
    async_get_property<uint32_t>(
        *conn, property("Level"),
        [&](boost::system::error_code ec, uint32_t level) {
            outcomes.push_back("get " + std::to_string(level) + " " +
                               std::to_string(ec.value()));
        });
    // Another type than the one asked for reads as its default.
    async_get_property<std::string>(
        *conn, property("Level"),
        [&](boost::system::error_code ec, const std::string& text) {
            outcomes.push_back(
                "text '" + text + "' " + std::to_string(ec.value()));
        });
    async_get_property<uint32_t>(
        *conn, {"test.absent", server_path, server_iface, "Level"},
        [&](boost::system::error_code ec, uint32_t level) {
            outcomes.push_back(
                "absent " + std::to_string(level) + " " +
                std::to_string(ec != boost::system::errc::success));
        });
    async_get_all<property_map>(
        *conn, server_name, server_path, server_iface,
        [&](boost::system::error_code ec, const property_map& all) {
            outcomes.push_back("all " + std::to_string(all.size()) + " " +
                               std::to_string(ec.value()));
        });
    ASSERT_TRUE(test::run_until(io, [&] { return outcomes.size() == 5; }));
    std::sort(outcomes.begin(), outcomes.end());
    EXPECT_EQ(outcomes,
              (std::vector<std::string>{"absent 0 1", "all 4 0", "get 9 0",
                                        "set Success", "text '' 0"}));
    EXPECT_THROW(get_property<uint32_t>(*conn, {"test.absent", server_path,
                                                server_iface, "Level"}),
                 error);
}

// Who may call is the bus policy's decision: the object itself lets any user
// that the bus lets through call its methods and write its properties.
TEST_F(remote_property_test, CallersOfAnyUserAreServed)
{
    if (geteuid() != 0)
    {
        GTEST_SKIP() << "calling as another user needs root";
    }
    auto as_nobody =
        [](const std::function<int(sd_bus*, sd_bus_error*)>& call) {
            return simboard::call_as_user(
                simboard::nobody_uid, simboard::nobody_gid, test::bus_address(),
                [&call](sd_bus* bus) {
                    sd_bus_error error = SD_BUS_ERROR_NULL;
                    return simboard::call_outcome(call(bus, &error), error);
                });
        };
    EXPECT_EQ(as_nobody([](sd_bus* bus, sd_bus_error* error) {
                  return sd_bus_call_method(
                      bus, server_name, server_path, properties_interface,
                      "Set", error, nullptr, "ssv", server_iface, "Level", "u",
                      17U);
              }),
              "ok");
    EXPECT_EQ(get<uint32_t>("Level"), 17U);
    EXPECT_EQ(as_nobody([](sd_bus* bus, sd_bus_error* error) {
                  return sd_bus_call_method(bus, server_name, server_path,
                                            server_iface, "Echo", error,
                                            nullptr, "s", "hello");
              }),
              "ok");
}

TEST_F(remote_property_test, PropertiesChangedOnlyWhenTheValueChanges)
{
    set("Limit", int32_t{50}); // before watching: whatever ran earlier
    std::vector<property_map> changes;
    match changed(*conn,
                  "type='signal',member='PropertiesChanged',path='" +
                      std::string(server_path) + "'",
                  [&changes](message& m) {
                      EXPECT_EQ(m.read<std::string>(), server_iface);
                      changes.push_back(m.read<property_map>());
                  });
    bool done = false;
    match ping(*conn, "type='signal',member='Ping'",
               [&done](message&) { done = true; });

    set("Level", get<uint32_t>("Level"));     // same value
    set("Level", get<uint32_t>("Level") + 1); // changed
    set("Limit", int32_t{1000});              // clamped to 100
    set("Limit", int32_t{100});               // handler: unchanged
    set_error("Limit", int32_t{-5});          // refused
    set_error("Locked", std::string("x"));    // denied
    conn->call_method(server_name, server_path, server_iface, "Emit",
                      std::string("marker"));
    ASSERT_TRUE(test::run_until(io, [&] { return done; }));
    ASSERT_EQ(changes.size(), 2U);
    EXPECT_EQ(changes[0].begin()->first, "Level");
    EXPECT_EQ(changes[1], (property_map{{"Limit", int32_t{100}}}));
}

/** A server and an observer connection in this process. */
class interface_test : public ::testing::Test
{
  protected:
    /** Collects every signal of member from the server's connection. */
    std::vector<message>& watch(const std::string& member)
    {
        auto& list = signals[member];
        matches.emplace_back(*observer,
                             "type='signal',member='" + member + "',sender='" +
                                 server->unique_name() + "'",
                             [&list](message& m) { list.push_back(m); });
        return list;
    }

    /** Runs until a marker signal sent now arrives: everything the server
     *  sent before it has arrived as well. */
    void sync()
    {
        bool seen = false;
        match marker(*observer, "type='signal',member='Marker'",
                     [&seen](message&) { seen = true; });
        dbus_interface beacon(server, "/beacon", "test.Beacon");
        beacon.emit_signal("Marker");
        ASSERT_TRUE(test::run_until(io, [&] { return seen; }));
    }

    boost::asio::io_context io;
    std::shared_ptr<connection> server =
        connection::open(io, test::bus_address());
    std::shared_ptr<connection> observer =
        connection::open(io, test::bus_address());
    std::map<std::string, std::vector<message>> signals;
    std::vector<match> matches;
};

TEST_F(interface_test, ObjectManagerAnnouncesAddedAndRemovedInterfaces)
{
    auto& added = watch("InterfacesAdded");
    auto& removed = watch("InterfacesRemoved");
    object_server objects(server);
    auto iface = objects.add_interface("/xyz/thing", "test.Thing");
    iface->register_property("Count", uint32_t{3});
    iface->initialize();
    sync();
    ASSERT_EQ(added.size(), 1U);
    EXPECT_EQ(added[0].path(), "/");
    EXPECT_EQ(added[0].read<object_path>().str, "/xyz/thing");
    EXPECT_EQ((added[0].read<std::map<std::string, property_map>>()),
              (std::map<std::string, property_map>{
                  {"test.Thing", {{"Count", uint32_t{3}}}}}));

    // Still referenced here: it stays on the bus until the last reference.
    EXPECT_TRUE(objects.remove_interface(iface));
    EXPECT_FALSE(objects.remove_interface(iface));
    sync();
    EXPECT_TRUE(removed.empty());
    iface.reset();
    sync();
    ASSERT_EQ(removed.size(), 1U);
    EXPECT_EQ(removed[0].read<object_path>().str, "/xyz/thing");
    EXPECT_EQ(removed[0].read<std::vector<std::string>>(),
              std::vector<std::string>{"test.Thing"});
}

// Announcements come from the nearest object manager above the object;
// none outside its subtree.
TEST_F(interface_test, ObjectManagerBelowTheRootAnnouncesItsSubtree)
{
    auto& added = watch("InterfacesAdded");
    object_server objects(server, "/xyz/software");
    auto inside = objects.add_interface("/xyz/software/cpld", "test.Thing");
    inside->initialize();
    auto outside = objects.add_interface("/xyz/other", "test.Thing");
    outside->initialize();
    sync();
    ASSERT_EQ(added.size(), 1U);
    EXPECT_EQ(added[0].path(), "/xyz/software");
    EXPECT_EQ(added[0].read<object_path>().str, "/xyz/software/cpld");
}

// A handler that keeps the loop busy still gets its signals out: flush
// writes whatever the socket did not take at once (one write of a signal
// larger than the socket's buffer, 8 MiB with sd-bus, leaves the rest
// queued).
TEST_F(interface_test, FlushSendsEverythingQueuedWithoutTheLoop)
{
    auto& seen = watch("Chunk");
    dbus_interface iface(server, "/xyz/chunks", "test.Chunks");
    // A reader on the other core may drain a whole signal as it is
    // written: send more until some of one waits in the queue.
    uint64_t queued = 0;
    for (int attempt = 0; attempt < 8 && queued == 0; ++attempt)
    {
        iface.emit_signal("Chunk", std::string(24 * 1024 * 1024, 'x'));
        sd_bus_get_n_queued_write(server->get_bus(), &queued);
    }
    ASSERT_GT(queued, 0U) << "the socket took every signal at once";
    server->flush();
    sd_bus_get_n_queued_write(server->get_bus(), &queued);
    EXPECT_EQ(queued, 0U);
    const auto sent = seen.size();
    sync();
    EXPECT_GT(seen.size(), sent);
}

TEST_F(interface_test, WithoutObjectManagerNothingIsAnnounced)
{
    auto& added = watch("InterfacesAdded");
    auto& removed = watch("InterfacesRemoved");
    {
        dbus_interface iface(server, "/xyz/lonely", "test.Lonely");
        iface.register_property("Count", uint32_t{3});
        iface.initialize();
    }
    sync();
    EXPECT_TRUE(added.empty());
    EXPECT_TRUE(removed.empty());
}

TEST_F(interface_test, ManagedObjectsRoundTrip)
{
    object_server objects(server);
    auto first = objects.add_interface("/xyz/a", "test.A");
    first->register_property("Text", "hello");
    first->register_property("Count", uint32_t{1});
    first->initialize();
    auto second = objects.add_interface("/xyz/b", "test.B");
    second->register_property("Offset", int32_t{-2});
    second->initialize();

    using managed = std::map<object_path, std::map<std::string, property_map>>;
    std::optional<managed> objects_seen;
    observer->async_method_call<managed>(
        [&objects_seen](boost::system::error_code ec, managed reply) {
            EXPECT_FALSE(ec);
            objects_seen = std::move(reply);
        },
        server->unique_name(), "/", manager_iface, "GetManagedObjects");
    ASSERT_TRUE(test::run_until(io, [&] { return objects_seen.has_value(); }));
    ASSERT_EQ(objects_seen->size(), 2U);
    // sd-bus lists its standard interfaces too (without properties).
    EXPECT_EQ(
        objects_seen->at(object_path("/xyz/a")).at("test.A"),
        (property_map{{"Text", std::string("hello")}, {"Count", uint32_t{1}}}));
    EXPECT_EQ(objects_seen->at(object_path("/xyz/b")).at("test.B"),
              (property_map{{"Offset", int32_t{-2}}}));
}

TEST_F(interface_test, SetPropertyRunsTheWriteHandlerAndSignalsChanges)
{
    auto& changed = watch("PropertiesChanged");
    dbus_interface iface(server, "/xyz/guarded", "test.Guarded");
    // Accepts even numbers; "changed" although an odd one leaves it as it
    // was: the stored value decides.
    iface.register_property(
        "Even", int32_t{0}, [](const int32_t& requested, int32_t& stored) {
            if (requested < 0)
            {
                stored = 12345; // scribbled before refusing: must be undone
                return write_result::refused;
            }
            if (requested == 99)
            {
                stored = 99; // scribbled before failing: must be undone
                throw std::runtime_error("handler broke");
            }
            if (requested % 2 == 0)
            {
                stored = requested;
            }
            return write_result::changed;
        });
    iface.register_property("Plain", std::string("a"), permission::read_write);
    iface.register_property("Sealed", uint32_t{7},
                            [](const uint32_t& requested, uint32_t& stored) {
                                stored = requested;
                                return write_result::denied;
                            });

    // Before initialize: stored, nothing emitted, no error.
    EXPECT_TRUE(iface.set_property("Plain", "b"));
    iface.initialize();

    EXPECT_FALSE(iface.set_property("Plain", std::string("b")));
    EXPECT_TRUE(iface.set_property("Plain", "c"));
    EXPECT_TRUE(iface.set_property("Even", int32_t{4}));
    EXPECT_FALSE(iface.set_property("Even", int32_t{5}));
    EXPECT_FALSE(iface.set_property("Even", int32_t{-2}));
    EXPECT_THROW(iface.set_property("Even", int32_t{99}), std::runtime_error);
    EXPECT_FALSE(iface.set_property("Sealed", uint32_t{8}));
    EXPECT_EQ(iface.get_property<uint32_t>("Sealed"), 7U);
    EXPECT_EQ(iface.get_property<int32_t>("Even"), 4);
    EXPECT_EQ(iface.get_property<std::string>("Plain"), "c");
    sync();
    ASSERT_EQ(changed.size(), 2U);
    changed[0].read<std::string>();
    EXPECT_EQ(changed[0].read<property_map>(),
              (property_map{{"Plain", std::string("c")}}));
    changed[1].read<std::string>();
    EXPECT_EQ(changed[1].read<property_map>(),
              (property_map{{"Even", int32_t{4}}}));

    EXPECT_THROW(iface.set_property("Missing", 1), error);
    EXPECT_THROW(iface.set_property("Even", std::string("4")), error);
    EXPECT_THROW(iface.get_property<uint32_t>("Even"), error);
}

TEST_F(interface_test, InitializeCanAnnounceEveryProperty)
{
    auto& changed = watch("PropertiesChanged");
    dbus_interface iface(server, "/xyz/announced", "test.Announced");
    iface.register_property("A", uint32_t{1});
    iface.register_property("B", std::string("b"));
    iface.initialize(true);
    sync();
    ASSERT_EQ(changed.size(), 2U);
}

TEST_F(interface_test, RegistrationMistakesAreRefused)
{
    dbus_interface iface(server, "/xyz/strict", "test.Strict");
    iface.register_property("A", uint32_t{1});
    EXPECT_THROW(iface.register_property("A", uint32_t{2}), std::logic_error);
    EXPECT_THROW(iface.register_method("A", [] {}), std::logic_error);
    iface.initialize();
    EXPECT_THROW(iface.register_property("B", 1), std::logic_error);
    EXPECT_THROW(iface.register_method("M", [] {}), std::logic_error);
    EXPECT_THROW(iface.initialize(), std::logic_error);
}

TEST_F(interface_test, MethodsAndSignalsInOneProcess)
{
    auto& pings = watch("Ping");
    dbus_interface iface(server, "/xyz/methods", "test.Methods");
    iface.register_method("Announce",
                          [&iface](const std::string& text, uint32_t count) {
                              message m = iface.new_signal("Ping");
                              m.append(text, count);
                              iface.signal_send(m);
                              return std::make_tuple(text, count * 2);
                          });
    iface.register_method("Reject", [](int32_t) -> std::string {
        throw std::invalid_argument("bad number");
    });
    iface.register_signal<std::string, uint32_t>("Ping");
    EXPECT_THROW(iface.register_signal<bool>("Ping"), std::logic_error);
    iface.initialize();

    std::optional<std::tuple<std::string, uint32_t>> reply;
    observer->async_method_call<std::tuple<std::string, uint32_t>>(
        [&reply](boost::system::error_code ec,
                 std::tuple<std::string, uint32_t> r) {
            EXPECT_FALSE(ec);
            reply = r;
        },
        server->unique_name(), "/xyz/methods", "test.Methods", "Announce", "hi",
        uint32_t{21});
    std::optional<boost::system::error_code> rejected;
    observer->async_method_call<std::string>(
        [&rejected](boost::system::error_code ec, const std::string&) {
            rejected = ec;
        },
        server->unique_name(), "/xyz/methods", "test.Methods", "Reject",
        int32_t{1});
    ASSERT_TRUE(test::run_until(io, [&] {
        return reply && rejected && !pings.empty();
    }));
    EXPECT_EQ(*reply, std::make_tuple(std::string("hi"), uint32_t{42}));
    // org.freedesktop.DBus.Error.Failed maps to EACCES in sd-bus.
    EXPECT_EQ(rejected->value(), EACCES);
    EXPECT_EQ(pings[0].signature(), "su");
    EXPECT_EQ(pings[0].path(), "/xyz/methods");
    EXPECT_EQ(pings[0].interface(), "test.Methods");
}

} // namespace
} // namespace dbus
