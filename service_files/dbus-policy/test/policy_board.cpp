#include "service_files/dbus-policy/test/policy_board.hpp"

#include "simboard/fixture/call_as_user.hpp"

#include <unistd.h>

#include <vector>

namespace policy_test
{

std::unique_ptr<simboard::board> policy_board(bool root_owns_m2sensor)
{
    const std::filesystem::path sample = SIMBOARD_SAMPLE_BOARD;
    auto description = simboard::board::load(sample);
    std::vector<std::string> policies{M2SENSOR_POLICY, CPLD_MGR_POLICY};
    if (root_owns_m2sensor)
    {
        policies.emplace_back(ROOT_MAY_OWN_M2SENSOR);
    }
    description["bus_policy"] = policies;
    return std::make_unique<simboard::board>(description, sample.parent_path());
}

void root_case::SetUp()
{
    if (geteuid() != 0)
    {
        GTEST_SKIP() << "calls as another user need root";
    }
}

std::string as_nobody(const simboard::board& board, const bus_call& call)
{
    return simboard::call_as_user(simboard::nobody_uid, simboard::nobody_gid,
                                  board.bus_address(), call);
}

std::string as_root(const simboard::board& board, const bus_call& call)
{
    return simboard::call_as_user(0, 0, board.bus_address(), call);
}

std::string request_name(sd_bus* bus, const std::string& name)
{
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r =
        sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "RequestName", &error,
                           nullptr, "su", name.c_str(), 0U);
    return simboard::call_outcome(r, error);
}

} // namespace policy_test
