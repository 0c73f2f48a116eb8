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

using namespace drivetherm_test;
using simboard::output_line;
using testing::IsEmpty;

const std::string inventory = "/xyz/openbmc_project/inventory";

json one_drive_objects()
{
    return {{config_path("M2_1"),
             {{m2_interface, m2_record("M2 Drive 1", 7)},
              {std::string(m2_interface) + ".Thresholds0",
               threshold_record(0, "greater than", 70)}}}};
}

TEST(Discovery, PowerStatesBusesAndMissingKeys)
{
    // In path order: Bus 263 on bus 7, the three kinds of gate, a drive
    // that does not answer and one that does but has no PowerState, which
    // ends the pass before the last record.
    const std::vector<drive> drives{{7, 0x6a, 1, 30},  {8, 0x6a, 1, 31},
                                    {9, 0x6a, 1, 32},  {10, 0x6a, 1, 33},
                                    {12, 0x6a, 1, 35}, {13, 0x6a, 1, 36}};
    json i2c = i2c_for(drives);
    i2c["buses"].push_back({{"bus", 11}});
    const json objects = {
        {config_path("M2_A"), {{m2_interface, m2_record("Drive A", 263)}}},
        {config_path("M2_B"),
         {{m2_interface, m2_record("Drive B", 8, 0x6a, 1, "On")}}},
        {config_path("M2_C"),
         {{m2_interface, m2_record("Drive C", 9, 0x6a, 1, "BiosPost")}}},
        {config_path("M2_D"),
         {{m2_interface, m2_record("Drive D", 10, 0x6a, 1, "on")}}},
        {config_path("M2_E"),
         {{m2_interface, m2_record("Drive E", 11, 0x6a, 1, "")}}},
        {config_path("M2_F"),
         {{m2_interface, m2_record("Drive F", 12, 0x6a, 1, "")}}},
        {config_path("M2_G"), {{m2_interface, m2_record("Drive G", 13)}}},
        {config_path("Other"),
         {{"xyz.openbmc_project.Configuration.Other", {{"Name", "x"}}}}}};
    drive_board b({{"i2c", i2c}, {"peers", peers_for(objects)}});
    ASSERT_TRUE(b.start()) << b.transcript();
    ASSERT_TRUE(b.wait_for_value("Drive_A", 30)) << b.transcript();
    ASSERT_TRUE(b.wait_for_value("Drive_B", 31)) << b.transcript();
    ASSERT_TRUE(b.wait_for_value("Drive_C", 32)) << b.transcript();

    // "on" waits for a host state ending in "on": never readable here.
    EXPECT_TRUE(std::isnan(b.value("Drive_D")));
    EXPECT_TRUE(b.wait(
        [&] {
            return !b.property<bool>("Drive_D", availability_interface,
                                     "Available");
        },
        5s));
    EXPECT_FALSE(b.has_sensor("Drive_E"));
    EXPECT_FALSE(b.has_sensor("Drive_F"));
    EXPECT_FALSE(b.has_sensor("Drive_G"));
    EXPECT_TRUE(b.saw(" read byte data failed at 1"));
    EXPECT_TRUE(b.saw("operator():277, bus:11, vpdAddr:6a, tmp:1"));
    EXPECT_TRUE(b.saw("Configuration missing PowerState"));
    EXPECT_TRUE(b.saw("Discovery pass stopped: Key Missing"));
    EXPECT_EQ(b.count("Configuration missing"), 1U) << b.transcript();

    // One watch per distinct gate: the host state twice (".Running", "on"),
    // the OS state once.
    EXPECT_EQ(b.peer_calls_of("xyz.openbmc_project.State.Host").size(), 2U);
    EXPECT_EQ(
        b.peer_calls_of("xyz.openbmc_project.State.OperatingSystem").size(),
        1U);

    // Leaving a state counts at once, for the sensors gated on it only.
    b.set_host_state(host_off);
    EXPECT_TRUE(b.wait_for_value("Drive_B", NAN, 5s));
    b.set_os_state("Inactive");
    EXPECT_TRUE(b.wait_for_value("Drive_C", NAN, 5s));
    b.set_register(drives[0], 40);
    EXPECT_TRUE(b.wait_for_value("Drive_A", 40, 5s));

    // The drive that did not answer is not tried again until the next pass.
    b.pump(2s);
    EXPECT_EQ(b.count("vpdAddr:6a"), 1U);

    // A renamed record: the old Name's sensor stays and keeps reading.
    b.sim.client().call_method(
        "xyz.openbmc_project.EntityManager", config_path("M2_A"),
        "org.freedesktop.DBus.Properties", "Set", std::string(m2_interface),
        std::string("Name"), std::variant<std::string>("Drive A2"));
    b.emit_changed(config_path("M2_A"), m2_interface);
    ASSERT_TRUE(b.wait_for_value("Drive_A2", 40)) << b.transcript();
    EXPECT_EQ(b.count("vpdAddr:6a"), 2U);
    b.set_register(drives[0], 41);
    EXPECT_TRUE(b.wait_for_value("Drive_A", 41, 5s));
    EXPECT_TRUE(b.wait_for_value("Drive_A2", 41, 5s));
    EXPECT_TRUE(b.daemon->running());
}

TEST(Discovery, NoM2RecordReportsOnRescansOnly)
{
    const json objects = {{config_path("M2_1"),
                           {{std::string(m2_interface) + ".Thresholds0",
                             threshold_record(0, "greater than", 70)}}}};
    drive_board b(json{{"peers", peers_for(objects)}});
    ASSERT_TRUE(b.start()) << b.transcript();
    ASSERT_TRUE(b.wait([&] { return b.passes() == 1; }, 5s));
    b.pump(1500ms);
    EXPECT_THAT(b.daemon->lines(), IsEmpty()) << b.transcript();

    for (std::size_t rescan = 1; rescan <= 2; ++rescan)
    {
        b.emit_changed(config_path("M2_1"),
                       std::string(m2_interface) + ".Thresholds0");
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
    drive_board b(json{{"peers", {{"host", json::object()}}}});
    ASSERT_TRUE(b.start()) << b.transcript();
    EXPECT_TRUE(b.saw("Error contacting entity manager"));
    b.emit_signal(inventory + "/x", "org.freedesktop.DBus.Properties",
                  "PropertiesChanged", m2_interface);
    EXPECT_TRUE(b.saw("Configuration not detected"));
    EXPECT_TRUE(b.saw("Error contacting entity manager", 2));
    EXPECT_TRUE(b.daemon->running());
}

TEST(Discovery, OnlyMatchingPropertiesChangedStartAPassAfterQuiet)
{
    drive_board b({{"i2c", i2c_for({drive{}})},
                   {"peers", peers_for(one_drive_objects())}});
    ASSERT_TRUE(b.start()) << b.transcript();
    ASSERT_TRUE(b.wait_for_value("M2_Drive_1", 25)) << b.transcript();
    ASSERT_EQ(b.passes(), 1U);

    const std::string props = "org.freedesktop.DBus.Properties";
    const std::string manager = "org.freedesktop.DBus.ObjectManager";
    b.emit_signal("/xyz/openbmc_project/other/M2_1", props, "PropertiesChanged",
                  m2_interface);
    b.emit_signal(inventory + "/M2_1", props, "PropertiesChanged",
                  std::string(m2_interface) + "X");
    b.emit_signal(inventory + "/M2_1", props, "PropertiesChanged",
                  "xyz.openbmc_project.Configuration.Other");
    b.emit_signal(inventory + "/M2_1", manager, "InterfacesAdded",
                  m2_interface);
    b.emit_signal(inventory + "/M2_1", manager, "InterfacesRemoved",
                  m2_interface);
    b.pump(2500ms);
    EXPECT_EQ(b.passes(), 1U);

    // A burst 200 ms apart: one pass, a second after the last signal.
    for (int i = 0; i < 5; ++i)
    {
        b.emit_signal(inventory + "/a/b", props, "PropertiesChanged",
                      std::string(m2_interface) + ".Thresholds1");
        b.pump(200ms);
    }
    EXPECT_EQ(b.passes(), 1U);
    EXPECT_TRUE(b.wait([&] { return b.passes() == 2; }, 5s));
    b.pump(2s);
    EXPECT_EQ(b.passes(), 2U);
}

TEST(Discovery, RescanReplacesTheSensorsOfTheRecordsItFinds)
{
    json objects = one_drive_objects();
    objects[config_path("M2_2")] = {{m2_interface, m2_record("M2 Drive 2", 8)},
                                    {std::string(m2_interface) + ".Thresholds0",
                                     threshold_record(1, "greater than", 80)}};
    const drive second{8, 0x6a, 1, 26};
    drive_board b(
        {{"i2c", i2c_for({drive{}, second})}, {"peers", peers_for(objects)}});
    ASSERT_TRUE(b.start()) << b.transcript();
    ASSERT_TRUE(b.wait_for_value("M2_Drive_1", 25)) << b.transcript();
    ASSERT_TRUE(b.wait_for_value("M2_Drive_2", 26)) << b.transcript();

    b.clear_signals();
    b.emit_changed(config_path("M2_1"), m2_interface);
    ASSERT_TRUE(b.wait([&] { return b.passes() == 2; }, 5s));
    ASSERT_TRUE(b.wait(
        [&] {
            return b.count_signals("PropertiesChanged",
                                   sensor_path("M2_Drive_2")) > 0 &&
                   b.count_signals("PropertiesChanged",
                                   sensor_path("M2_Drive_1")) > 0;
        },
        5s));
    for (const char* object : {"M2_Drive_1", "M2_Drive_2"})
    {
        const std::string path = sensor_path(object);
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
        EXPECT_EQ(b.count_signals("InterfacesAdded", path), 5U);
    }
    // The new sensors start from no reading.
    const auto& first_value = std::find_if(
        b.signals().begin(), b.signals().end(), [](const seen_signal& s) {
            return s.path == sensor_path("M2_Drive_1") &&
                   s.detail.find(" Value=") != std::string::npos;
        });
    ASSERT_NE(first_value, b.signals().end());
    EXPECT_THAT(first_value->detail, testing::EndsWith(" Value=nan"));
    EXPECT_TRUE(b.wait_for_value("M2_Drive_1", 25, 5s));
    EXPECT_EQ(b.count("Configuration not detected"), 0U);

    // A record that vanishes from EntityManager leaves its sensor reading.
    // Its InterfacesRemoved starts no pass (a pass would come a second
    // after it); the next change of another record does, and replaces only
    // the sensors of the records it finds.
    const auto quiet_until = std::chrono::steady_clock::now() + 2s;
    b.sim.client().call_method(
        "xyz.openbmc_project.SimBoard",
        "/xyz/openbmc_project/simboard/entity_manager",
        "xyz.openbmc_project.SimBoard.EntityManager", "RemoveObject",
        dbus::object_path{config_path("M2_2")});
    b.set_register(second, 27);
    EXPECT_TRUE(b.wait_for_value("M2_Drive_2", 27, 5s));
    b.wait([&] { return std::chrono::steady_clock::now() >= quiet_until; }, 2s);
    EXPECT_EQ(b.passes(), 2U);

    b.clear_signals();
    b.emit_changed(config_path("M2_1"), m2_interface);
    ASSERT_TRUE(b.wait(
        [&] {
            return b.count_signals("InterfacesAdded",
                                   sensor_path("M2_Drive_1")) == 5;
        },
        5s))
        << b.transcript();
    EXPECT_EQ(b.passes(), 3U);
    EXPECT_TRUE(b.has_sensor("M2_Drive_2"));
    EXPECT_EQ(b.count_signals("InterfacesRemoved", sensor_path("M2_Drive_2")),
              0U);
    b.set_register(second, 28);
    EXPECT_TRUE(b.wait_for_value("M2_Drive_2", 28, 5s));
}

} // namespace
