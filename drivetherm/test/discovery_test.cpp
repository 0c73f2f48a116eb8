// Discovery on the simulated board: which records become sensors, how
// PowerState gates them, which signals start a pass, and what a pass does
// to the sensors already there.
#include "drivetherm/test/drive_board.hpp"

#include <algorithm>
#include <cmath>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace drivetherm::test;
using simboard::output_line;
using testing::IsEmpty;

const std::string inventory = "/xyz/openbmc_project/inventory";

json oneDriveObjects()
{
    return {{configPath("M2_1"),
             {{m2Interface, m2Record("M2 Drive 1", 7)},
              {std::string(m2Interface) + ".Thresholds0",
               thresholdRecord(0, "greater than", 70)}}}};
}

TEST(Discovery, PowerStatesBusesAndMissingKeys)
{
    // In path order: Bus 263 on bus 7, the three kinds of gate, a drive
    // that does not answer and one that does but has no PowerState, which
    // ends the pass before the last record.
    const std::vector<Drive> drives{{7, 0x6a, 1, 30},  {8, 0x6a, 1, 31},
                                    {9, 0x6a, 1, 32},  {10, 0x6a, 1, 33},
                                    {12, 0x6a, 1, 35}, {13, 0x6a, 1, 36}};
    json i2c = i2cFor(drives);
    i2c["buses"].push_back({{"bus", 11}});
    const json objects = {
        {configPath("M2_A"), {{m2Interface, m2Record("Drive A", 263)}}},
        {configPath("M2_B"),
         {{m2Interface, m2Record("Drive B", 8, 0x6a, 1, "On")}}},
        {configPath("M2_C"),
         {{m2Interface, m2Record("Drive C", 9, 0x6a, 1, "BiosPost")}}},
        {configPath("M2_D"),
         {{m2Interface, m2Record("Drive D", 10, 0x6a, 1, "on")}}},
        {configPath("M2_E"),
         {{m2Interface, m2Record("Drive E", 11, 0x6a, 1, "")}}},
        {configPath("M2_F"),
         {{m2Interface, m2Record("Drive F", 12, 0x6a, 1, "")}}},
        {configPath("M2_G"), {{m2Interface, m2Record("Drive G", 13)}}},
        {configPath("Other"),
         {{"xyz.openbmc_project.Configuration.Other", {{"Name", "x"}}}}}};
    DriveBoard b({{"i2c", i2c}, {"peers", peersFor(objects)}});
    ASSERT_TRUE(b.start()) << b.transcript();
    ASSERT_TRUE(b.waitForValue("Drive_A", 30)) << b.transcript();
    ASSERT_TRUE(b.waitForValue("Drive_B", 31)) << b.transcript();
    ASSERT_TRUE(b.waitForValue("Drive_C", 32)) << b.transcript();

    // "on" waits for a host state ending in "on": never readable here.
    EXPECT_TRUE(std::isnan(b.value("Drive_D")));
    EXPECT_TRUE(b.wait(
        [&] {
            return !b.property<bool>("Drive_D", availabilityInterface,
                                     "Available");
        },
        5s));
    EXPECT_FALSE(b.hasSensor("Drive_E"));
    EXPECT_FALSE(b.hasSensor("Drive_F"));
    EXPECT_FALSE(b.hasSensor("Drive_G"));
    EXPECT_TRUE(b.saw(" read byte data failed at 1"));
    EXPECT_TRUE(b.saw("operator():277, bus:11, vpdAddr:6a, tmp:1"));
    EXPECT_TRUE(b.saw("Configuration missing PowerState"));
    EXPECT_TRUE(b.saw("Discovery pass stopped: Key Missing"));
    EXPECT_EQ(b.count("Configuration missing"), 1U) << b.transcript();

    // One watch per distinct gate: the host state twice (".Running", "on"),
    // the OS state once.
    EXPECT_EQ(b.calls_to("xyz.openbmc_project.State.Host").size(), 2U);
    EXPECT_EQ(b.calls_to("xyz.openbmc_project.State.OperatingSystem").size(),
              1U);

    // Leaving a state counts at once, for the sensors gated on it only.
    b.setHostState(hostOff);
    EXPECT_TRUE(b.waitForValue("Drive_B", NAN, 5s));
    b.setOsState("Inactive");
    EXPECT_TRUE(b.waitForValue("Drive_C", NAN, 5s));
    b.setRegister(drives[0], 40);
    EXPECT_TRUE(b.waitForValue("Drive_A", 40, 5s));

    // The drive that did not answer is not tried again until the next pass.
    b.pump(2s);
    EXPECT_EQ(b.count("vpdAddr:6a"), 1U);

    // A renamed record: the old Name's sensor stays and keeps reading.
    b.sim.client().call_method(
        "xyz.openbmc_project.EntityManager", configPath("M2_A"),
        dbus::properties_interface, "Set", std::string(m2Interface),
        std::string("Name"), std::variant<std::string>("Drive A2"));
    b.emitChanged(configPath("M2_A"), m2Interface);
    ASSERT_TRUE(b.waitForValue("Drive_A2", 40)) << b.transcript();
    EXPECT_EQ(b.count("vpdAddr:6a"), 2U);
    b.setRegister(drives[0], 41);
    EXPECT_TRUE(b.waitForValue("Drive_A", 41, 5s));
    EXPECT_TRUE(b.waitForValue("Drive_A2", 41, 5s));
    EXPECT_TRUE(b.daemon->running());
}

TEST(Discovery, NoM2RecordReportsOnRescansOnly)
{
    const json objects = {{configPath("M2_1"),
                           {{std::string(m2Interface) + ".Thresholds0",
                             thresholdRecord(0, "greater than", 70)}}}};
    DriveBoard b(json{{"peers", peersFor(objects)}});
    ASSERT_TRUE(b.start()) << b.transcript();
    ASSERT_TRUE(b.wait([&] { return b.passes() == 1; }, 5s));
    b.pump(1500ms);
    EXPECT_THAT(b.daemon->lines(), IsEmpty()) << b.transcript();

    for (std::size_t rescan = 1; rescan <= 2; ++rescan)
    {
        b.emitChanged(configPath("M2_1"),
                      std::string(m2Interface) + ".Thresholds0");
        EXPECT_TRUE(
            b.daemon->wait_for_count("Configuration not detected", rescan, 5s));
    }
    EXPECT_THAT(b.daemon->lines(output_line::stream::out),
                testing::ElementsAre("Configuration not detected",
                                     "Configuration not detected"));
    EXPECT_THAT(b.daemon->lines(output_line::stream::err), IsEmpty());
}

TEST(Discovery, WithoutEntityManagerNothingIsCreated)
{
    DriveBoard b(json{{"peers", {{"host", json::object()}}}});
    ASSERT_TRUE(b.start()) << b.transcript();
    EXPECT_TRUE(b.saw("Error contacting entity manager"));
    b.emitSignal(inventory + "/x", dbus::properties_interface,
                 "PropertiesChanged", m2Interface);
    EXPECT_TRUE(b.saw("Configuration not detected"));
    EXPECT_TRUE(b.saw("Error contacting entity manager", 2));
    EXPECT_TRUE(b.daemon->running());
}

TEST(Discovery, OnlyMatchingPropertiesChangedStartAPassAfterQuiet)
{
    DriveBoard b(
        {{"i2c", i2cFor({Drive{}})}, {"peers", peersFor(oneDriveObjects())}});
    ASSERT_TRUE(b.start()) << b.transcript();
    ASSERT_TRUE(b.waitForValue("M2_Drive_1", 25)) << b.transcript();
    ASSERT_EQ(b.passes(), 1U);

    const std::string manager = "org.freedesktop.DBus.ObjectManager";
    b.emitSignal("/xyz/openbmc_project/other/M2_1", dbus::properties_interface,
                 "PropertiesChanged", m2Interface);
    b.emitSignal(inventory + "/M2_1", dbus::properties_interface,
                 "PropertiesChanged", std::string(m2Interface) + "X");
    b.emitSignal(inventory + "/M2_1", dbus::properties_interface,
                 "PropertiesChanged",
                 "xyz.openbmc_project.Configuration.Other");
    b.emitSignal(inventory + "/M2_1", manager, "InterfacesAdded", m2Interface);
    b.emitSignal(inventory + "/M2_1", manager, "InterfacesRemoved",
                 m2Interface);
    b.pump(2500ms);
    EXPECT_EQ(b.passes(), 1U);

    // A burst 200 ms apart: one pass, a second after the last signal.
    for (int i = 0; i < 5; ++i)
    {
        b.emitSignal(inventory + "/a/b", dbus::properties_interface,
                     "PropertiesChanged",
                     std::string(m2Interface) + ".Thresholds1");
        b.pump(200ms);
    }
    EXPECT_EQ(b.passes(), 1U);
    EXPECT_TRUE(b.wait([&] { return b.passes() == 2; }, 5s));
    b.pump(2s);
    EXPECT_EQ(b.passes(), 2U);
}

TEST(Discovery, RescanReplacesTheSensorsOfTheRecordsItFinds)
{
    json objects = oneDriveObjects();
    objects[configPath("M2_2")] = {{m2Interface, m2Record("M2 Drive 2", 8)},
                                   {std::string(m2Interface) + ".Thresholds0",
                                    thresholdRecord(1, "greater than", 80)}};
    const Drive second{8, 0x6a, 1, 26};
    DriveBoard b(
        {{"i2c", i2cFor({Drive{}, second})}, {"peers", peersFor(objects)}});
    ASSERT_TRUE(b.start()) << b.transcript();
    ASSERT_TRUE(b.waitForValue("M2_Drive_1", 25)) << b.transcript();
    ASSERT_TRUE(b.waitForValue("M2_Drive_2", 26)) << b.transcript();

    b.clearSignals();
    b.emitChanged(configPath("M2_1"), m2Interface);
    ASSERT_TRUE(b.wait([&] { return b.passes() == 2; }, 5s));
    ASSERT_TRUE(b.wait(
        [&] {
            return b.countSignals("PropertiesChanged",
                                  sensorPath("M2_Drive_2")) > 0 &&
                   b.countSignals("PropertiesChanged",
                                  sensorPath("M2_Drive_1")) > 0;
        },
        5s));
    for (const char* object : {"M2_Drive_1", "M2_Drive_2"})
    {
        const std::string path = sensorPath(object);
        std::vector<std::string> members;
        for (const auto& s : b.signals())
        {
            if (s.path == path && s.member.starts_with("Interfaces"))
            {
                members.push_back(s.member);
            }
        }
        // Five interfaces each: Value, one threshold level, association,
        // availability, operational status; all gone before any returns.
        const std::vector<std::string> removed(5, "InterfacesRemoved");
        const std::vector<std::string> added(5, "InterfacesAdded");
        std::vector<std::string> expected = removed;
        expected.insert(expected.end(), added.begin(), added.end());
        EXPECT_EQ(members, expected) << object;
        EXPECT_EQ(b.countSignals("InterfacesAdded", path), 5U);
    }
    // The new sensors start from no reading.
    const auto& firstValue = std::find_if(
        b.signals().begin(), b.signals().end(), [](const SeenSignal& s) {
            return s.path == sensorPath("M2_Drive_1") &&
                   s.detail.find(" Value=") != std::string::npos;
        });
    ASSERT_NE(firstValue, b.signals().end());
    EXPECT_THAT(firstValue->detail, testing::EndsWith(" Value=nan"));
    EXPECT_TRUE(b.waitForValue("M2_Drive_1", 25, 5s));
    EXPECT_EQ(b.count("Configuration not detected"), 0U);

    // A record that vanishes from EntityManager leaves its sensor reading.
    // Its InterfacesRemoved starts no pass (a pass would come a second
    // after it); the next change of another record does, and replaces only
    // the sensors of the records it finds.
    const auto quietUntil = std::chrono::steady_clock::now() + 2s;
    b.sim.client().call_method(
        "xyz.openbmc_project.SimBoard",
        "/xyz/openbmc_project/simboard/entity_manager",
        "xyz.openbmc_project.SimBoard.EntityManager", "RemoveObject",
        dbus::object_path{configPath("M2_2")});
    b.setRegister(second, 27);
    EXPECT_TRUE(b.waitForValue("M2_Drive_2", 27, 5s));
    b.wait([&] { return std::chrono::steady_clock::now() >= quietUntil; }, 2s);
    EXPECT_EQ(b.passes(), 2U);

    b.clearSignals();
    b.emitChanged(configPath("M2_1"), m2Interface);
    ASSERT_TRUE(b.wait(
        [&] {
            return b.countSignals("InterfacesAdded",
                                  sensorPath("M2_Drive_1")) == 5;
        },
        5s))
        << b.transcript();
    EXPECT_EQ(b.passes(), 3U);
    EXPECT_TRUE(b.hasSensor("M2_Drive_2"));
    EXPECT_EQ(b.countSignals("InterfacesRemoved", sensorPath("M2_Drive_2")),
              0U);
    b.setRegister(second, 28);
    EXPECT_TRUE(b.waitForValue("M2_Drive_2", 28, 5s));
}

} // namespace
