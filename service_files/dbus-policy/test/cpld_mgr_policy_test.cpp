// fwkeeper on a bus with the installed policies: only root starts an
// update, everyone reads the versions, and root alone takes the name.
#include "service_files/dbus-policy/test/policy_board.hpp"
#include "simboard/fixture/call_as_user.hpp"
#include "simboard/fixture/time_scale.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace std::chrono_literals;
using namespace policy_test;
using simboard::call_as_user;
using simboard::nobody_gid;
using simboard::nobody_uid;
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

TEST(CpldManagerPolicy, OnlyRootStartsAnUpdateEveryoneReadsVersions)
{
    if (geteuid() != 0)
    {
        GTEST_SKIP() << "calls as another user need root";
    }
    auto board = policy_board(false);
    const std::string& bus = board->bus_address();
    auto daemon = board->start(FWKEEPER_BIN);
    auto as_nobody = [&](auto call) {
        return call_as_user(nobody_uid, nobody_gid, bus, call);
    };
    ASSERT_TRUE(
        simboard::wait_until([&] { return as_nobody(version) == "11223344"; },
                             simboard::scaled(20s)))
        << daemon->transcript();

    EXPECT_THAT(as_nobody(update), StartsWith(bus_refusal));
    EXPECT_THAT(as_nobody([](sd_bus* b) { return request_name(b, service); }),
                StartsWith(access_denied));
    // Without the board's exception, the sensors' name is not root's either.
    EXPECT_THAT(
        call_as_user(0, 0, bus,
                     [](sd_bus* b) {
                         return request_name(b, "xyz.openbmc_project.M2Sensor");
                     }),
        StartsWith(access_denied));
    EXPECT_FALSE(power_off_requested(*board));

    EXPECT_THAT(call_as_user(0, 0, bus, update),
                Not(StartsWith(access_denied)));
    EXPECT_TRUE(power_off_requested(*board)) << daemon->transcript();
}

} // namespace
