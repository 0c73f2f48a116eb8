// Bad configuration values of every kind on the simulated board: the pass
// that meets one stops there, what it created before stays, and the daemon
// goes on serving and rescanning. What no handler can take ends the daemon
// with a failure, as does losing the bus.
#include "dbus/dbus_interface.hpp"
#include "drivetherm/test/drive_board.hpp"
#include "simboard/fixture/time_scale.hpp"

#include <sys/wait.h>

#include <memory>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace drivetherm_test;

const std::string list_type = "std::vector<std::__cxx11::basic_string<char> >";
const std::string text_type = "std::__cxx11::basic_string<char>";

// The record between two good ones (M2_A before it, M2_C after it).
struct bad_case
{
    std::string what;
    json interfaces;
    std::string line;
};

json without(json record, const std::string& key)
{
    record.erase(key);
    return record;
}

json with(json record, const std::string& key, json value)
{
    record[key] = std::move(value);
    return record;
}

std::unique_ptr<drive_board> board_with(const json& middle)
{
    const json objects = {
        {config_path("M2_A"), {{m2_interface, m2_record("Drive A", 7)}}},
        {config_path("M2_B"), middle},
        {config_path("M2_C"), {{m2_interface, m2_record("Drive C", 9)}}}};
    const std::vector<drive> drives{
        {7, 0x6a, 1, 25}, {8, 0x6a, 1, 26}, {9, 0x6a, 1, 27}};
    return std::make_unique<drive_board>(
        json{{"i2c", i2c_for(drives)}, {"peers", peers_for(objects)}});
}

TEST(ConfigErrors, EveryBadValueStopsOnlyThatPass)
{
    const json good = m2_record("Drive B", 8);
    const std::string thresholds = std::string(m2_interface) + ".Thresholds0";
    const std::vector<bad_case> cases{
        {"no Name",
         {{m2_interface, without(good, "Name")}},
         "Configuration missing Name"},
        {"no Bus",
         {{m2_interface, without(good, "Bus")}},
         "Configuration missing Bus"},
        {"no Address",
         {{m2_interface, without(good, "Address")}},
         "Configuration missing Address"},
        {"no Reg",
         {{m2_interface, without(good, "Reg")}},
         "Configuration missing Reg"},
        {"Name a list",
         {{m2_interface, with(good, "Name", {"as", {"x"}})}},
         "Cannot translate type " + list_type + " to string"},
        {"Bus a text",
         {{m2_interface, with(good, "Bus", "8")}},
         "Cannot translate type " + text_type + " to unsigned int"},
        {"Reg of an unknown type",
         {{m2_interface, with(good, "Reg", {"o", "/x"})}},
         "Cannot translate type " + list_type + " to unsigned int"},
        {"threshold Value a text",
         {{m2_interface, good},
          {thresholds,
           with(threshold_record(0, "greater than", 70), "Value", "70")}},
         "Cannot translate type " + text_type + " to double"},
        {"threshold Severity a list",
         {{m2_interface, good},
          {thresholds, with(threshold_record(0, "greater than", 70), "Severity",
                            {"as", json::array()})}},
         "Cannot translate type " + list_type + " to unsigned int"},
    };
    std::vector<std::unique_ptr<drive_board>> boards;
    for (const auto& c : cases)
    {
        boards.push_back(board_with(c.interfaces));
        ASSERT_TRUE(boards.back()->start()) << c.what;
    }
    for (std::size_t i = 0; i < cases.size(); ++i)
    {
        auto& b = *boards[i];
        SCOPED_TRACE(cases[i].what);
        EXPECT_TRUE(b.wait_for_value("Drive_A", 25)) << b.transcript();
        EXPECT_TRUE(b.daemon->wait_for_line("Discovery pass stopped: ", 5s));
        EXPECT_TRUE(b.saw(cases[i].line)) << b.transcript();
        EXPECT_FALSE(b.has_sensor("Drive_B"));
        EXPECT_FALSE(b.has_sensor("Drive_C"));
        b.emit_changed(config_path("M2_A"), m2_interface);
    }
    // The next pass meets the same record, and the daemon carries on.
    for (std::size_t i = 0; i < cases.size(); ++i)
    {
        auto& b = *boards[i];
        SCOPED_TRACE(cases[i].what);
        EXPECT_TRUE(b.saw("Discovery pass stopped: ", 2)) << b.transcript();
        EXPECT_TRUE(b.wait_for_value("Drive_A", 25));
        EXPECT_TRUE(b.daemon->running());
    }
}

TEST(ConfigErrors, ValuesThatConvertMakeASensor)
{
    const json good = m2_record("Drive B", 8);
    const std::string thresholds = std::string(m2_interface) + ".Thresholds0";
    // A threshold without Value is left out; a double address truncates; a
    // Name with odd characters is escaped.
    auto malformed = board_with(
        {{m2_interface, with(good, "Address", {"d", 106.9})},
         {thresholds,
          without(threshold_record(0, "greater than", 70), "Value")}});
    json odd_name = good;
    odd_name["Name"] = "M2 Drive-1.x";
    auto escaped = board_with({{m2_interface, odd_name}});
    // Names that make no object path: the sensor cannot be published, the
    // pass goes on.
    auto empty = board_with({{m2_interface, with(good, "Name", "")}});
    auto empty_element =
        board_with({{m2_interface, with(good, "Name", "a//b")}});
    for (auto* b : {&malformed, &escaped, &empty, &empty_element})
    {
        ASSERT_TRUE((*b)->start());
    }

    EXPECT_TRUE(malformed->wait_for_value("Drive_B", 26))
        << malformed->transcript();
    EXPECT_TRUE(malformed->saw("error populating thresholds for Drive B"));
    EXPECT_TRUE(malformed->wait_for_value("Drive_C", 27));
    EXPECT_TRUE(escaped->wait_for_value("M2_Drive_1_x", 26))
        << escaped->transcript();
    EXPECT_TRUE(escaped->wait_for_value("Drive_C", 27));
    for (auto* b : {&malformed, &escaped})
    {
        EXPECT_EQ((*b)->count("Discovery pass stopped"), 0U);
    }
    for (auto* b : {&empty, &empty_element})
    {
        EXPECT_TRUE((*b)->wait_for_value("Drive_C", 27)) << (*b)->transcript();
        EXPECT_TRUE((*b)->saw("error initializing value interface"));
        (*b)->emit_changed(config_path("M2_A"), m2_interface);
        EXPECT_TRUE((*b)->saw("error initializing value interface", 2));
        EXPECT_TRUE((*b)->daemon->running());
    }
}

const std::string thresholds0 = std::string(m2_interface) + ".Thresholds0";

std::unique_ptr<drive_board> one_drive_board()
{
    const json objects = {
        {config_path("M2_1"),
         {{m2_interface, m2_record("Drive 1", 7)},
          {thresholds0, threshold_record(0, "greater than", 70)}}}};
    auto b = std::make_unique<drive_board>(json{
        {"i2c", i2c_for({{7, 0x6a, 1, 25}})}, {"peers", peers_for(objects)}});
    return b;
}

// The daemon ends with status 1 within a second (the test's loop served
// meanwhile), after one line saying why.
void expect_failed_exit(drive_board& b, const std::string& why)
{
    EXPECT_TRUE(b.wait(
        [&] {
            return b.count("drivetherm stopped: ") > 0 || !b.daemon->running();
        },
        simboard::scaled(1s)))
        << b.transcript();
    EXPECT_TRUE(
        b.daemon->wait_for_line("drivetherm stopped: ", simboard::scaled(1s)));
    const auto status = b.daemon->wait_exit(simboard::scaled(1s));
    ASSERT_TRUE(status) << b.transcript();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1)
        << b.transcript();
    EXPECT_THAT(
        b.daemon->lines(simboard::output_line::stream::err),
        testing::Contains(testing::StartsWith("drivetherm stopped: " + why)))
        << b.transcript();
    EXPECT_EQ(b.count("drivetherm stopped: "), 1U) << b.transcript();
}

TEST(Failures, LosingTheBusEndsTheDaemon)
{
    auto b = one_drive_board();
    ASSERT_TRUE(b->start()) << b->transcript();
    ASSERT_TRUE(b->wait_for_sensors({"Drive_1"})) << b->transcript();
    b->sim.stop_bus();
    expect_failed_exit(*b, "D-Bus connection lost: ");
}

TEST(Failures, AStoredBackRecordOfTheWrongKindEndsTheDaemon)
{
    auto b = one_drive_board();
    ASSERT_TRUE(b->start()) << b->transcript();
    ASSERT_TRUE(b->wait_for_sensors({"Drive_1"})) << b->transcript();

    // EntityManager comes back with the record's severity as text.
    b->sim.stop_peers();
    auto entity_manager =
        dbus::connection::open(b->sim.io(), b->sim.bus_address());
    entity_manager->request_name("xyz.openbmc_project.EntityManager");
    dbus::dbus_interface record(entity_manager, config_path("M2_1"),
                                thresholds0);
    record.register_property("Direction", std::string("greater than"));
    record.register_property("Severity", std::string("warning"));
    record.register_property("Value", 70.0);
    record.initialize();

    EXPECT_FALSE(
        b->set_property("Drive_1", warning_interface, "WarningHigh", 75.0));
    expect_failed_exit(*b, "async call handler: Cannot translate type");
}

} // namespace
