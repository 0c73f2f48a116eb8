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

using namespace drivetherm::test;

const std::string listType = "std::vector<std::__cxx11::basic_string<char> >";
const std::string textType = "std::__cxx11::basic_string<char>";

// The record between two good ones (M2_A before it, M2_C after it).
struct BadCase
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

std::unique_ptr<DriveBoard> boardWith(const json& middle)
{
    const json objects = {
        {configPath("M2_A"), {{m2Interface, m2Record("Drive A", 7)}}},
        {configPath("M2_B"), middle},
        {configPath("M2_C"), {{m2Interface, m2Record("Drive C", 9)}}}};
    const std::vector<Drive> drives{
        {7, 0x6a, 1, 25}, {8, 0x6a, 1, 26}, {9, 0x6a, 1, 27}};
    return std::make_unique<DriveBoard>(
        json{{"i2c", i2cFor(drives)}, {"peers", peersFor(objects)}});
}

TEST(ConfigErrors, EveryBadValueStopsOnlyThatPass)
{
    const json good = m2Record("Drive B", 8);
    const std::string thresholds = std::string(m2Interface) + ".Thresholds0";
    const std::vector<BadCase> cases{
        {"no Name",
         {{m2Interface, without(good, "Name")}},
         "Configuration missing Name"},
        {"no Bus",
         {{m2Interface, without(good, "Bus")}},
         "Configuration missing Bus"},
        {"no Address",
         {{m2Interface, without(good, "Address")}},
         "Configuration missing Address"},
        {"no Reg",
         {{m2Interface, without(good, "Reg")}},
         "Configuration missing Reg"},
        {"Name a list",
         {{m2Interface, with(good, "Name", {"as", {"x"}})}},
         "Cannot translate type " + listType + " to string"},
        {"Bus a text",
         {{m2Interface, with(good, "Bus", "8")}},
         "Cannot translate type " + textType + " to unsigned int"},
        {"Reg of an unknown type",
         {{m2Interface, with(good, "Reg", {"o", "/x"})}},
         "Cannot translate type " + listType + " to unsigned int"},
        {"threshold Value a text",
         {{m2Interface, good},
          {thresholds,
           with(thresholdRecord(0, "greater than", 70), "Value", "70")}},
         "Cannot translate type " + textType + " to double"},
        {"threshold Severity a list",
         {{m2Interface, good},
          {thresholds, with(thresholdRecord(0, "greater than", 70), "Severity",
                            {"as", json::array()})}},
         "Cannot translate type " + listType + " to unsigned int"},
    };
    std::vector<std::unique_ptr<DriveBoard>> boards;
    for (const auto& c : cases)
    {
        boards.push_back(boardWith(c.interfaces));
        ASSERT_TRUE(boards.back()->start()) << c.what;
    }
    for (std::size_t i = 0; i < cases.size(); ++i)
    {
        auto& b = *boards[i];
        SCOPED_TRACE(cases[i].what);
        EXPECT_TRUE(b.waitForValue("Drive_A", 25)) << b.transcript();
        EXPECT_TRUE(b.daemon->wait_for_line("Discovery pass stopped: ", 5s));
        EXPECT_TRUE(b.saw(cases[i].line)) << b.transcript();
        EXPECT_FALSE(b.hasSensor("Drive_B"));
        EXPECT_FALSE(b.hasSensor("Drive_C"));
        b.emitChanged(configPath("M2_A"), m2Interface);
    }
    // The next pass meets the same record, and the daemon carries on.
    for (std::size_t i = 0; i < cases.size(); ++i)
    {
        auto& b = *boards[i];
        SCOPED_TRACE(cases[i].what);
        EXPECT_TRUE(b.saw("Discovery pass stopped: ", 2)) << b.transcript();
        EXPECT_TRUE(b.waitForValue("Drive_A", 25));
        EXPECT_TRUE(b.daemon->running());
    }
}

TEST(ConfigErrors, ValuesThatConvertMakeASensor)
{
    const json good = m2Record("Drive B", 8);
    const std::string thresholds = std::string(m2Interface) + ".Thresholds0";
    // A threshold without Value is left out; a double address truncates; a
    // Name with odd characters is escaped.
    auto malformed = boardWith(
        {{m2Interface, with(good, "Address", {"d", 106.9})},
         {thresholds,
          without(thresholdRecord(0, "greater than", 70), "Value")}});
    json oddName = good;
    oddName["Name"] = "M2 Drive-1.x";
    auto escaped = boardWith({{m2Interface, oddName}});
    // Names that make no object path: the sensor cannot be published, the
    // pass goes on.
    auto empty = boardWith({{m2Interface, with(good, "Name", "")}});
    auto emptyElement = boardWith({{m2Interface, with(good, "Name", "a//b")}});
    for (auto* b : {&malformed, &escaped, &empty, &emptyElement})
    {
        ASSERT_TRUE((*b)->start());
    }

    EXPECT_TRUE(malformed->waitForValue("Drive_B", 26))
        << malformed->transcript();
    EXPECT_TRUE(malformed->saw("error populating thresholds for Drive B"));
    EXPECT_TRUE(malformed->waitForValue("Drive_C", 27));
    EXPECT_TRUE(escaped->waitForValue("M2_Drive_1_x", 26))
        << escaped->transcript();
    EXPECT_TRUE(escaped->waitForValue("Drive_C", 27));
    for (auto* b : {&malformed, &escaped})
    {
        EXPECT_EQ((*b)->count("Discovery pass stopped"), 0U);
    }
    for (auto* b : {&empty, &emptyElement})
    {
        EXPECT_TRUE((*b)->waitForValue("Drive_C", 27)) << (*b)->transcript();
        EXPECT_TRUE((*b)->saw("error initializing value interface"));
        (*b)->emitChanged(configPath("M2_A"), m2Interface);
        EXPECT_TRUE((*b)->saw("error initializing value interface", 2));
        EXPECT_TRUE((*b)->daemon->running());
    }
}

const std::string thresholds0 = std::string(m2Interface) + ".Thresholds0";

std::unique_ptr<DriveBoard> oneDriveBoard()
{
    const json objects = {
        {configPath("M2_1"),
         {{m2Interface, m2Record("Drive 1", 7)},
          {thresholds0, thresholdRecord(0, "greater than", 70)}}}};
    auto b = std::make_unique<DriveBoard>(json{
        {"i2c", i2cFor({{7, 0x6a, 1, 25}})}, {"peers", peersFor(objects)}});
    return b;
}

// The daemon ends with status 1 within a second (the test's loop served
// meanwhile), after one line saying why.
void expectFailedExit(DriveBoard& b, const std::string& why)
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
    auto b = oneDriveBoard();
    ASSERT_TRUE(b->start()) << b->transcript();
    ASSERT_TRUE(b->waitForSensors({"Drive_1"})) << b->transcript();
    b->sim.stop_bus();
    expectFailedExit(*b, "D-Bus connection lost: ");
}

TEST(Failures, AStoredBackRecordOfTheWrongKindEndsTheDaemon)
{
    auto b = oneDriveBoard();
    ASSERT_TRUE(b->start()) << b->transcript();
    ASSERT_TRUE(b->waitForSensors({"Drive_1"})) << b->transcript();

    // EntityManager comes back with the record's severity as text.
    b->sim.stop_peers();
    auto entityManager =
        dbus::connection::open(b->sim.io(), b->sim.bus_address());
    entityManager->request_name("xyz.openbmc_project.EntityManager");
    dbus::dbus_interface record(entityManager, configPath("M2_1"), thresholds0);
    record.register_property("Direction", std::string("greater than"));
    record.register_property("Severity", std::string("warning"));
    record.register_property("Value", 70.0);
    record.initialize();

    EXPECT_FALSE(
        b->setProperty("Drive_1", warningInterface, "WarningHigh", 75.0));
    expectFailedExit(*b, "async call handler: Cannot translate type");
}

} // namespace
