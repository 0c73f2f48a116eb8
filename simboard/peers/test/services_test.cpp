#include "simboard/peers/peer_set.hpp"
#include "simboard/peers/test/peers_fixture.hpp"

#include <sys/wait.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace simboard::peers::test
{
namespace
{

using nlohmann::json;
using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

constexpr const char* props = "org.freedesktop.DBus.Properties";
constexpr const char* em = "xyz.openbmc_project.EntityManager";
constexpr const char* m2_path =
    "/xyz/openbmc_project/inventory/system/board/Board_1/M2_1";
constexpr const char* m2 = "xyz.openbmc_project.Configuration.M2Sensor";
constexpr const char* thresholds =
    "xyz.openbmc_project.Configuration.M2Sensor.Thresholds0";
constexpr const char* control = "xyz.openbmc_project.SimBoard";
constexpr const char* unknown_interface =
    "org.freedesktop.DBus.Error.UnknownInterface";
constexpr const char* invalid_args = "org.freedesktop.DBus.Error.InvalidArgs";

const json inventory = json::parse(R"({
    "/xyz/openbmc_project/inventory/system/board/Board_1/M2_1": {
        "xyz.openbmc_project.Configuration.M2Sensor": {
            "Name": "M2 Drive 1", "Bus": ["t", 7], "Address": ["u", 106],
            "Reg": ["y", 1], "PowerState": "On", "Offset": ["x", -3],
            "Index": ["i", -1], "Small": ["n", -2], "Port": ["q", 3],
            "Present": ["b", true], "Labels": ["as", ["a", "b"]],
            "Board": ["o", "/xyz/openbmc_project/inventory/system/board"],
            "Lanes": ["ai", [1, 2]]
        },
        "xyz.openbmc_project.Configuration.M2Sensor.Thresholds0": {
            "Direction": "greater than", "Severity": ["d", 0.0],
            "Value": ["d", 80.0]
        }
    }
})");

class EntityManagerTest : public PeersTest
{
  protected:
    void SetUp() override
    {
        start({{"entity_manager", {{"objects", inventory}}}});
    }
};

TEST_F(EntityManagerTest, ManagedObjectsCarryTheConfiguredTypesExactly)
{
    json expected = inventory;
    for (auto& [path, interfaces] : expected.items())
    {
        for (auto& [iface, properties] : interfaces.items())
        {
            for (auto& [name, value] : properties.items())
            {
                value = to_json(parse_typed_value(value));
            }
        }
    }
    expected["/xyz/openbmc_project/EntityManager"] = {
        {"xyz.openbmc_project.EntityManager", json::object()}};
    EXPECT_EQ(call(em, "/", "org.freedesktop.DBus.ObjectManager",
                   "GetManagedObjects"),
              json::array({expected}));
}

TEST_F(EntityManagerTest, MissingInterfacesAndWrongTypesGetErrorReplies)
{
    EXPECT_EQ(call(em, m2_path, props, "GetAll", {{"s", thresholds}}).at(0),
              json::parse(R"({"Direction": ["s", "greater than"],
                              "Severity": ["d", 0.0], "Value": ["d", 80.0]})"));
    const std::string missing = std::string(m2) + ".Thresholds1";
    EXPECT_EQ(error_of([&] {
                  call(em, m2_path, props, "GetAll", {{"s", missing}});
              }),
              unknown_interface);
    EXPECT_EQ(error_of([&] {
                  set(em, m2_path, missing, "Value", {"d", 1.0});
              }),
              unknown_interface);
    EXPECT_EQ(error_of([&] {
                  set(em, m2_path, thresholds, "Nope", {"d", 1.0});
              }),
              "org.freedesktop.DBus.Error.UnknownProperty");
    EXPECT_EQ(error_of([&] {
                  set(em, m2_path, thresholds, "Value", {"i", 1});
              }),
              invalid_args);
    EXPECT_EQ(
        error_of([&] { get(em, m2_path + std::string("/x"), m2, "Name"); }),
        "org.freedesktop.DBus.Error.UnknownObject");
    EXPECT_EQ(get(em, m2_path, thresholds, "Value"), (typed_value{"d", 80.0}));
}

TEST_F(EntityManagerTest, SetAndEmitChangedSignalAConfigurationChange)
{
    // The configuration-change rule of the M.2 daemon.
    auto seen = watch_changes(
        "type='signal',member='PropertiesChanged',path_namespace='/xyz/"
        "openbmc_project/inventory',arg0namespace='xyz.openbmc_project."
        "Configuration.M2Sensor'");
    set(em, m2_path, thresholds, "Value", {"d", 75.0});
    ASSERT_TRUE(run_until([&] { return seen->size() == 1; }));
    EXPECT_EQ(seen->at(0), json::parse(R"([
        "xyz.openbmc_project.Configuration.M2Sensor.Thresholds0",
        {"Value": ["d", 75.0]}, []])"));
    EXPECT_EQ(get(em, m2_path, thresholds, "Value"), (typed_value{"d", 75.0}));

    call(control, "/xyz/openbmc_project/simboard/entity_manager",
         "xyz.openbmc_project.SimBoard.EntityManager", "EmitChanged",
         {{"o", m2_path}, {"s", m2}});
    ASSERT_TRUE(run_until([&] { return seen->size() == 2; }));
    EXPECT_EQ(seen->at(1).at(1).at("Bus"), json::parse(R"(["t", 7])"));
    EXPECT_EQ(seen->at(1).at(1).size(), inventory.at(m2_path).at(m2).size());
    EXPECT_EQ(error_of([&] {
                  call(control, "/xyz/openbmc_project/simboard/entity_manager",
                       "xyz.openbmc_project.SimBoard.EntityManager",
                       "EmitChanged", {{"o", m2_path}, {"s", "xyz.nope"}});
              }),
              unknown_interface);
}

TEST_F(EntityManagerTest, RemoveObjectDropsTheObjectAndSignalsItsInterfaces)
{
    const char* em_control = "/xyz/openbmc_project/simboard/entity_manager";
    const char* em_control_iface = "xyz.openbmc_project.SimBoard.EntityManager";
    auto removed = watch_changes(
        "type='signal',path='/',interface='org.freedesktop.DBus."
        "ObjectManager',member='InterfacesRemoved'");
    call(control, em_control, em_control_iface, "RemoveObject",
         {{"o", m2_path}});
    ASSERT_TRUE(run_until([&] { return removed->size() == 1; }));
    EXPECT_EQ(removed->at(0), json::array({m2_path, {m2, thresholds}}));
    EXPECT_EQ(call(em, "/", "org.freedesktop.DBus.ObjectManager",
                   "GetManagedObjects")
                  .at(0),
              json::parse(R"({"/xyz/openbmc_project/EntityManager":
                              {"xyz.openbmc_project.EntityManager": {}}})"));
    const char* unknown_object = "org.freedesktop.DBus.Error.UnknownObject";
    EXPECT_EQ(error_of([&] { get(em, m2_path, m2, "Name"); }), unknown_object);

    // Gone already, never there, or EntityManager's own object.
    for (const char* path : {m2_path, "/xyz/openbmc_project/inventory",
                             "/xyz/openbmc_project/EntityManager"})
    {
        EXPECT_EQ(error_of([&] {
                      call(control, em_control, em_control_iface,
                           "RemoveObject", {{"o", path}});
                  }),
                  unknown_object)
            << path;
    }
    call(em, "/xyz/openbmc_project/EntityManager", em, "ReScan");
}

TEST_F(EntityManagerTest, ReScanIsAnsweredAndRecorded)
{
    call(em, "/xyz/openbmc_project/EntityManager", em, "ReScan");
    EXPECT_THAT(calls(), ElementsAre("xyz.openbmc_project.EntityManager "
                                     "/xyz/openbmc_project/EntityManager "
                                     "xyz.openbmc_project.EntityManager "
                                     "ReScan() []"));
}

class StatePeersTest : public PeersTest
{};

TEST_F(StatePeersTest, StatesChangeAtRunTimeWithPropertiesChanged)
{
    start({{"host", json::object()},
           {"os", {{"OperatingSystemState", "Inactive"}}}});
    const char* os_path = "/xyz/openbmc_project/state/os";
    const char* os_iface = "xyz.openbmc_project.State.OperatingSystem.Status";
    // The POST-complete rule of the NVMe monitor.
    auto seen = watch_changes("type='signal',interface='org.freedesktop.DBus."
                              "Properties',member='PropertiesChanged',path='/"
                              "xyz/openbmc_project/state/os'");
    set("xyz.openbmc_project.State.OperatingSystem", os_path, os_iface,
        "OperatingSystemState", {"s", "Inactive"}); // unchanged: no signal
    set("xyz.openbmc_project.State.OperatingSystem", os_path, os_iface,
        "OperatingSystemState", {"s", "Standby"});
    ASSERT_TRUE(run_until([&] { return !seen->empty(); }));
    EXPECT_THAT(*seen, ElementsAre(json::array(
                           {os_iface,
                            {{"OperatingSystemState", {"s", "Standby"}}},
                            json::array()})));

    const char* host = "xyz.openbmc_project.State.Host";
    const char* host_path = "/xyz/openbmc_project/state/host0";
    EXPECT_EQ(
        get(host, host_path, host, "CurrentHostState"),
        (typed_value{"s", "xyz.openbmc_project.State.Host.HostState.Running"}));
    call(control, "/xyz/openbmc_project/simboard/host",
         "xyz.openbmc_project.SimBoard.Host", "SetProperty",
         {{"s", "CurrentHostState"}, {"v", json::array({"i", 3})}});
    EXPECT_EQ(get(host, host_path, host, "CurrentHostState"),
              (typed_value{"i", 3}));
    EXPECT_EQ(error_of([&] {
                  call(control, "/xyz/openbmc_project/simboard/host",
                       "xyz.openbmc_project.SimBoard.Host", "SetProperty",
                       {{"s", "Nope"}, {"v", json::array({"i", 3})}});
              }),
              "org.freedesktop.DBus.Error.UnknownProperty");
}

TEST_F(PeersTest, FruRescanRecordsItsByteAndChipInformationServesItsTypes)
{
    start({{"fru", json::object()},
           {"chip_info",
            {{"PFR_REV_ID1", {"y", 2}},
             {"PFR_REV_ID3", {"y", 0x1A}},
             {"PFR_REV_ID2", {"i", 176}}}}});
    const char* fru = "xyz.openbmc_project.FruDevice";
    const char* fru_path = "/xyz/openbmc_project/FruDevice";
    const char* fru_iface = "xyz.openbmc_project.FruDeviceManager";
    call(fru, fru_path, fru_iface, "ReScanBus", {{"y", 51}});
    EXPECT_EQ(error_of([&] {
                  call(fru, fru_path, fru_iface, "ReScanBus", {{"q", 51}});
              }),
              invalid_args);

    const char* chip = "xyz.openbmc_project.TARN.CPLD.Control";
    const char* chip_path = "/xyz/openbmc_project/cpld/chip/information";
    const char* chip_iface = "xyz.openbmc_project.Chip.Information";
    EXPECT_EQ(get(chip, chip_path, chip_iface, "PFR_REV_ID1"),
              (typed_value{"y", 2}));
    EXPECT_EQ(get(chip, chip_path, chip_iface, "PFR_REV_ID2"),
              (typed_value{"i", 176}));
    EXPECT_EQ(get(chip, chip_path, chip_iface, "PFR_REV_ID3"),
              (typed_value{"y", 26}));
    EXPECT_EQ(error_of([&] {
                  set(chip, chip_path, chip_iface, "PFR_REV_ID1", {"y", 1});
              }),
              "org.freedesktop.DBus.Error.PropertyReadOnly");

    const std::string fru_line =
        std::string(fru) + " " + fru_path + " " + fru_iface + " ReScanBus";
    EXPECT_THAT(calls(), testing::IsSupersetOf(
                             {fru_line + "(y) [51]", fru_line + "(q) [51]"}));
}

TEST_F(PeersTest, FruRescanTakesTheTypeItsKnobNames)
{
    start({{"fru", {{"ReScanBusSignature", "q"}}}});
    const char* fru = "xyz.openbmc_project.FruDevice";
    const char* fru_path = "/xyz/openbmc_project/FruDevice";
    const char* fru_iface = "xyz.openbmc_project.FruDeviceManager";
    call(fru, fru_path, fru_iface, "ReScanBus", {{"q", 300}});
    EXPECT_EQ(error_of([&] {
                  call(fru, fru_path, fru_iface, "ReScanBus", {{"y", 30}});
              }),
              invalid_args);
    const char* knob_path = "/xyz/openbmc_project/simboard/fru";
    const char* knob_iface = "xyz.openbmc_project.SimBoard.Fru";
    set(control, knob_path, knob_iface, "ReScanBusSignature", {"s", "y"});
    call(fru, fru_path, fru_iface, "ReScanBus", {{"y", 30}});
    EXPECT_EQ(error_of([&] {
                  set(control, knob_path, knob_iface, "ReScanBusSignature",
                      {"s", "u"});
              }),
              invalid_args);
}

TEST_F(PeersTest, AbsentPeersAreAbsentFromTheBus)
{
    start({{"fru", json::object()}});
    const json names = call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                            "org.freedesktop.DBus", "ListNames")
                           .at(0);
    EXPECT_THAT(names, Contains("xyz.openbmc_project.FruDevice"));
    EXPECT_THAT(names, Contains(control));
    for (const char* absent :
         {"xyz.openbmc_project.EntityManager", "xyz.openbmc_project.State.Host",
          "xyz.openbmc_project.State.OperatingSystem",
          "xyz.openbmc_project.State.Chassis",
          "xyz.openbmc_project.TARNproperties.Manager",
          "xyz.openbmc_project.TARN.CPLD.Control"})
    {
        EXPECT_THAT(names, Not(Contains(absent)));
    }
}

TEST_F(PeersTest, CallLogKeepsArrivalOrderAcrossCallsSentBackToBack)
{
    start({{"board_properties", json::object()}, {"chassis", json::object()}});
    const char* mgr = "xyz.openbmc_project.TARNproperties.Manager";
    const char* mgr_path = "/xyz/openbmc_project/TARNproperties/mgr";
    int replies = 0;
    auto set_async = [&](const std::string& property,
                         const std::string& value) {
        client->async_method_call(
            [&](boost::system::error_code ec) {
                EXPECT_FALSE(ec);
                ++replies;
            },
            mgr, mgr_path, props, "Set", std::string(mgr), property,
            std::variant<std::string>(value));
    };
    set_async("UpdatingState", "NA");
    set_async("UpdatingOwner", "MBCPLD");
    ASSERT_TRUE(run_until([&] { return replies == 2; }));
    get("xyz.openbmc_project.State.Chassis",
        "/xyz/openbmc_project/state/chassis0",
        "xyz.openbmc_project.State.Chassis", "CurrentPowerState");
    const std::string set_line = std::string(mgr) + " " + mgr_path + " " +
                                 props + " Set(ssv) [\"" + mgr + "\",";
    EXPECT_THAT(
        calls(),
        ElementsAre(
            set_line + R"("UpdatingState",["s","NA"]])",
            set_line + R"("UpdatingOwner",["s","MBCPLD"]])",
            "xyz.openbmc_project.State.Chassis "
            "/xyz/openbmc_project/state/chassis0 " +
                std::string(props) +
                R"( Get(ss) ["xyz.openbmc_project.State.Chassis","CurrentPowerState"])"));
}

TEST_F(PeersTest, SampleBoardServesEveryPeer)
{
    start(read_peers(SAMPLE_PEERS));
    const json objects =
        call(em, "/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects")
            .at(0);
    for (const char* drive : {"M2_1", "M2_2"})
    {
        const json& config =
            objects.at("/xyz/openbmc_project/inventory/system/board/Board_1/" +
                       std::string(drive));
        EXPECT_EQ(config.at(m2).at("Bus").at(0), "t");
        EXPECT_TRUE(config.contains(thresholds));
    }
    const char* chip = "xyz.openbmc_project.TARN.CPLD.Control";
    const char* chip_path = "/xyz/openbmc_project/cpld/chip/information";
    const char* chip_iface = "xyz.openbmc_project.Chip.Information";
    EXPECT_EQ(get(chip, chip_path, chip_iface, "PFR_REV_ID3"),
              (typed_value{"y", 0x1A}));
    EXPECT_EQ(get("xyz.openbmc_project.State.OperatingSystem",
                  "/xyz/openbmc_project/state/os",
                  "xyz.openbmc_project.State.OperatingSystem.Status",
                  "OperatingSystemState"),
              (typed_value{"s", "Standby"}));
    const char* mgr = "xyz.openbmc_project.TARNproperties.Manager";
    EXPECT_EQ(get(mgr, "/xyz/openbmc_project/TARNproperties/mgr", mgr,
                  "UpdatingOwner"),
              (typed_value{"s", "NONE"}));
}

TEST(PeersProgram, ExitsCleanlyOnSigterm)
{
    simboard::board sim(json::parse(R"({"peers": {"fru": {}}})"));
    sim.peers().stop();
    const int status =
        sim.peers().wait_exit(std::chrono::milliseconds(0)).value_or(-1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(PeersProgram, RefusesAMalformedDescriptionNamingWhatIsWrong)
{
    const json cases = json::parse(R"([
        [{"peers": {"nope": {}}}, "unknown peer \"nope\""],
        [{"peers": {"chassis": {"Bogus": 1}}}, "peers.chassis: unknown key"],
        [{"peers": {"chassis": {"PowerOff": "sometimes"}}}, "PowerOff takes"],
        [{"peers": {"chassis": {"ReadsBeforeOff": "two"}}}, "type 'u'"],
        [{"peers": {"host": {"CurrentHostState": 7}}}, "peers.host"],
        [{"peers": {"fru": []}}, "peers.fru: not a JSON object"],
        [{"peers": {"entity_manager": {"objects": {"no/slash": {}}}}},
         "bad object path"],
        [{"peers": {"entity_manager": {"objects": {"/a": {"x.y": {
            "Reg": ["y", 300]}}}}}}, "type 'y'"]
    ])");
    for (const json& c : cases)
    {
        const auto [status, output] = run_to_exit(c.at(0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << output;
        EXPECT_THAT(output, HasSubstr(c.at(1).get<std::string>()));
        EXPECT_THAT(output, Not(HasSubstr("peers ready")));
    }
}

} // namespace
} // namespace simboard::peers::test
