// fwkeeper on a bus with the installed policies: only root starts an
// update, everyone reads the versions, and root alone takes the name.
#include "service_files/dbus-policy/test/policy_board.hpp"
#include "simboard/fixture/call_as_user.hpp"
#include "simboard/fixture/time_scale.hpp"

#include <algorithm>
#include <cstdlib>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace std::chrono_literals;
using namespace policy_test;
using testing::Not;
using testing::StartsWith;

constexpr const char* service = "xyz.openbmc_project.Software.CPLD.Mgr";
constexpr const char* cpld = "/xyz/openbmc_project/software/cpld/mbcpld";

std::string version(sd_bus* bus)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    char* text = nullptr;
    int r = sd_bus_get_property_string(bus, service, cpld, service, "Version",
                                       &error, &text);
    if (r < 0)
    {
        return simboard::call_outcome(r, error);
    }
    std::string value = text;
    free(text);
    return value;
}

std::string update(sd_bus* bus)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_call_method(bus, service, cpld, service, "Update", &error,
                               nullptr, "");
    return simboard::call_outcome(r, error);
}

bool power_off_requested(const simboard::board& board)
{
    auto calls = board.peer_calls();
    return std::ranges::any_of(calls, [](const std::string& call) {
        return call.find("RequestedPowerTransition") != std::string::npos;
    });
}

using CpldManagerPolicy = root_case;

TEST_F(CpldManagerPolicy, OnlyRootStartsAnUpdateEveryoneReadsVersions)
{
    auto board = policy_board(false);
    auto daemon = board->start(FWKEEPER_BIN);
    ASSERT_TRUE(simboard::wait_until(
        [&] { return as_nobody(*board, version) == "11223344"; },
        simboard::scaled(20s)))
        << daemon->transcript();

    EXPECT_THAT(as_nobody(*board, update), StartsWith(bus_refusal));
    EXPECT_THAT(as_nobody(*board,
                          [](sd_bus* b) { return request_name(b, service); }),
                StartsWith(access_denied));
    // Without the board's exception, the sensors' name is not root's either.
    EXPECT_THAT(as_root(*board,
                        [](sd_bus* b) {
                            return request_name(b,
                                                "xyz.openbmc_project.M2Sensor");
                        }),
                StartsWith(access_denied));
    EXPECT_FALSE(power_off_requested(*board));

    EXPECT_THAT(as_root(*board, update), Not(StartsWith(access_denied)));
    EXPECT_TRUE(power_off_requested(*board)) << daemon->transcript();
}

} // namespace
