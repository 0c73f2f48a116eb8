// drivetherm on a bus with the installed policies: only root changes a
// threshold, everyone reads it, and only the daemon's user takes the name.
#include "service_files/dbus-policy/test/policy_board.hpp"
#include "simboard/fixture/call_as_user.hpp"
#include "simboard/fixture/time_scale.hpp"

#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace std::chrono_literals;
using namespace policy_test;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::StartsWith;

constexpr const char* service = "xyz.openbmc_project.M2Sensor";
constexpr const char* sensor =
    "/xyz/openbmc_project/sensors/temperature/M2_Drive_1";
constexpr const char* warning = "xyz.openbmc_project.Sensor.Threshold.Warning";

std::string warning_high(sd_bus* bus)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    double value = 0;
    int r = sd_bus_get_property_trivial(bus, service, sensor, warning,
                                        "WarningHigh", &error, 'd', &value);
    if (r < 0)
    {
        return simboard::call_outcome(r, error);
    }
    std::ostringstream text;
    text << value;
    return text.str();
}

std::string set_warning_high(sd_bus* bus, double value)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_set_property(bus, service, sensor, warning, "WarningHigh",
                                &error, "d", value);
    return simboard::call_outcome(r, error);
}

std::vector<std::string> stored_thresholds(const simboard::board& board)
{
    std::vector<std::string> calls;
    for (const std::string& call : board.peer_calls())
    {
        if (call.starts_with("xyz.openbmc_project.EntityManager ") &&
            call.find(" Set(ssv) ") != std::string::npos)
        {
            calls.push_back(call);
        }
    }
    return calls;
}

using M2SensorPolicy = root_case;

TEST_F(M2SensorPolicy, OnlyRootWritesAThresholdEveryoneReadsIt)
{
    auto board = policy_board(true);
    auto daemon = board->start(DRIVETHERM_BIN);
    ASSERT_TRUE(simboard::wait_until(
        [&] { return as_nobody(*board, warning_high) == "70"; },
        simboard::scaled(20s)))
        << daemon->transcript();

    EXPECT_THAT(as_nobody(*board,
                          [](sd_bus* b) { return set_warning_high(b, 60); }),
                StartsWith(bus_refusal));
    EXPECT_EQ(as_nobody(*board, warning_high), "70");
    EXPECT_THAT(as_nobody(*board,
                          [](sd_bus* b) { return request_name(b, service); }),
                StartsWith(access_denied));

    EXPECT_EQ(as_root(*board,
                      [](sd_bus* b) { return set_warning_high(b, 72); }),
              "ok");
    EXPECT_EQ(as_nobody(*board, warning_high), "72");
    // The refused write, made first, never reached EntityManager.
    EXPECT_TRUE(
        simboard::wait_until([&] { return !stored_thresholds(*board).empty(); },
                             simboard::scaled(5s)));
    EXPECT_THAT(stored_thresholds(*board), ElementsAre(HasSubstr("72")));
}

} // namespace
