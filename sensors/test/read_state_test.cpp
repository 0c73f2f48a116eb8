#include "sensors/read_state.hpp"
#include "sensors/test/sensor_fixture.hpp"

#include <chrono>
#include <cmath>
#include <optional>
#include <stdexcept>

#include <gtest/gtest.h>

namespace sensors::test
{
namespace
{

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const ReadState osStandby{"xyz.openbmc_project.State.OperatingSystem",
                          "/xyz/openbmc_project/state/os",
                          "xyz.openbmc_project.State.OperatingSystem.Status",
                          "OperatingSystemState", "Standby"};
const ReadState chassisOn{
    "xyz.openbmc_project.State.Chassis", "/xyz/openbmc_project/state/chassis0",
    "xyz.openbmc_project.State.Chassis", "CurrentPowerState", "PowerState.On"};

/** Every case watches states of its own: watches live for the process. */
class ReadStateTest : public SensorBusTest
{
  protected:
    void startStates(const std::string& hostState)
    {
        startPeers({{"host", {{"CurrentHostState", hostState}}},
                    {"os", {{"OperatingSystemState", "Inactive"}}},
                    {"chassis",
                     {{"CurrentPowerState",
                       "xyz.openbmc_project.State.Chassis.PowerState.Off"}}}});
    }

    size_t hostQueries()
    {
        return calls(std::string(hostService) + " /xyz/openbmc_project/state/"
                                                "host0 org.freedesktop.DBus."
                                                "Properties Get(ss)")
            .size();
    }

    void setState(const ReadState& state, const std::string& value)
    {
        EXPECT_EQ(set(state.objectPath, state.interfaceName, state.propertyName,
                      value, state.serviceName),
                  "");
    }

    void setChassis(const std::string& state)
    {
        call("xyz.openbmc_project.SimBoard",
             "/xyz/openbmc_project/simboard/chassis",
             "xyz.openbmc_project.SimBoard.Chassis", "SetProperty",
             [&](dbus::message& m) {
                 m.append(std::string("CurrentPowerState"),
                          std::variant<std::string>(
                              "xyz.openbmc_project.State.Chassis.PowerState." +
                              state));
             });
    }

    void runFor(std::chrono::milliseconds duration)
    {
        const auto end = Clock::now() + duration;
        runUntil([&] { return Clock::now() >= end; }, duration + 1s);
    }
};

TEST_F(ReadStateTest, FirstQueryCountsAtOnceAndOnceForIdenticalStates)
{
    startStates(hostRunning);
    const ReadState tooLong =
        hostReadState(std::string("Extra.") + hostRunning);
    const ReadState running = hostReadState("HostState.Running");
    setupStateMatch(conn, tooLong);
    setupStateMatch(conn, running);
    setupStateMatch(conn, hostReadState("HostState.Running"));
    // The answers come in order: the second one settles both.
    ASSERT_TRUE(runUntil([&] { return isReadStateActive(running); }));
    EXPECT_FALSE(isReadStateActive(tooLong));
    EXPECT_EQ(hostQueries(), 2U);
    EXPECT_EQ(readStateKey(running),
              std::string(hostService) + "/xyz/openbmc_project/state/host0" +
                  hostService + "CurrentHostStateHostState.Running");

    // Leaving the state counts at once.
    setState(running, hostOff);
    EXPECT_TRUE(runUntil([&] { return !isReadStateActive(running); }));
}

TEST_F(ReadStateTest, NoWatchNoAnswer)
{
    try
    {
        isReadStateActive(hostReadState("never watched"));
        ADD_FAILURE() << "no error";
    }
    catch (const std::runtime_error& e)
    {
        EXPECT_STREQ(e.what(), "Power Match Not Created");
    }
    EXPECT_FALSE(isGated(hostReadState("")));
    EXPECT_FALSE(isGated(hostReadState("Always")));
    EXPECT_TRUE(isGated(hostReadState("always")));
}

TEST_F(ReadStateTest, GatedSensorPublishesNaNWhileTheStateDoesNotHold)
{
    startStates(hostOff);
    auto sensor = makeSensor(
        "Gated", {{ThresholdLevel::Warning, ThresholdDirection::High, 70.0}},
        false, hostReadState("te.Host.HostState.Running"));
    ASSERT_TRUE(runUntil([&] { return hostQueries() == 1; }));
    sync();
    sensor->updateReading(80.0);
    EXPECT_TRUE(
        std::isnan(std::get<double>(get(sensor->path(), valueIface, "Value"))));
    EXPECT_FALSE(
        std::get<bool>(get(sensor->path(), availabilityIface, "Available")));
    EXPECT_EQ(sensor->evaluations, 0U);
}

// About 17 seconds: entering a state counts after 10 seconds of its own.
TEST_F(ReadStateTest, EnteredStatesSettleForTenSecondsEach)
{
    startStates(hostOff);
    const ReadState host = hostReadState("ost.HostState.Running");
    auto sensor = makeSensor("Settling", {}, false, host);
    setupStateMatch(conn, osStandby);
    setupStateMatch(conn, chassisOn);
    ASSERT_TRUE(runUntil([&] { return hostQueries() == 1; }));
    sync();

    const auto start = Clock::now();
    setState(host, hostRunning);
    runFor(2s);
    setChassis("On"); // left again within the delay: never counts
    runFor(1s);
    setChassis("Off");
    runFor(2s);
    const auto osEntered = Clock::now();
    setState(osStandby, "Standby"); // while the host state is settling
    EXPECT_FALSE(isReadStateActive(host));

    std::optional<Clock::duration> hostAfter;
    std::optional<Clock::duration> osAfter;
    ASSERT_TRUE(runUntil(
        [&] {
            if (!hostAfter && isReadStateActive(host))
            {
                hostAfter = Clock::now() - start;
            }
            if (!osAfter && isReadStateActive(osStandby))
            {
                osAfter = Clock::now() - osEntered;
            }
            return hostAfter && osAfter;
        },
        20s));
    EXPECT_GE(*hostAfter, 10s);
    EXPECT_GE(*osAfter, 10s);
    EXPECT_FALSE(isReadStateActive(chassisOn));

    // The sensor reads again.
    sensor->updateReading(30.0);
    EXPECT_TRUE(
        std::get<bool>(get(sensor->path(), availabilityIface, "Available")));
    EXPECT_EQ(std::get<double>(get(sensor->path(), valueIface, "Value")), 30.0);
}

// About 31 seconds: an absent state service is asked three times.
TEST_F(ReadStateTest, AbsentServiceIsAskedThreeTimesFifteenSecondsApart)
{
    CapturedOutput output;
    ReadState never = hostReadState("Running");
    never.serviceName = "xyz.openbmc_project.State.Missing";
    const ReadState late = hostReadState("e.Running");
    const auto start = Clock::now();
    setupStateMatch(conn, never);
    setupStateMatch(conn, late);
    runFor(20s); // two failed attempts each
    EXPECT_EQ(output.err(), "");
    startStates(hostRunning); // in time for the third attempt of late
    ASSERT_TRUE(runUntil(
        [&] { return !output.err().empty() && isReadStateActive(late); }, 20s));
    EXPECT_GE(Clock::now() - start, 29s);
    EXPECT_LT(Clock::now() - start, 40s);
    EXPECT_FALSE(isReadStateActive(never));
    runFor(1s);
    EXPECT_EQ(countLines(output.err(), "error getting power status "), 1U);
    EXPECT_TRUE(output.err().starts_with("error getting power status "));
}

} // namespace
} // namespace sensors::test
