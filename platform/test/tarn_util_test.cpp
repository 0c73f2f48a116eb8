#include "platform/chassis_state.hpp"
#include "platform/tarn_util.hpp"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <optional>

#include <gtest/gtest.h>

namespace
{

struct capability_result
{
    int status;
    unsigned long long flags;
};

// Runs getCapbilityFlags in a child process whose /etc is a private tmpfs
// holding `content` as the capability file (or no file at all), so the test
// never touches the machine's own /etc.
capability_result capability_with(const std::optional<std::string>& content)
{
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
    {
        ADD_FAILURE() << "pipe failed";
        return {-100, 0};
    }
    pid_t pid = fork();
    if (pid == 0)
    {
        close(pipe_fds[0]);
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/etc", "tmpfs", 0, nullptr) != 0)
        {
            _exit(2);
        }
        if (content)
        {
            mkdir("/etc/tarn-util", 0755);
            std::ofstream("/etc/tarn-util/capability_flags") << *content;
        }
        capability_result result{0, 0x5A5A};
        result.status = getCapbilityFlags(&result.flags);
        bool written = write(pipe_fds[1], &result, sizeof(result)) ==
                       sizeof(result);
        _exit(written ? 0 : 3);
    }
    close(pipe_fds[1]);
    capability_result result{-100, 0};
    bool complete = read(pipe_fds[0], &result, sizeof(result)) ==
                    sizeof(result);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!complete || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    {
        ADD_FAILURE() << "child could not prepare its private /etc";
    }
    return result;
}

} // namespace

TEST(capability_flags, ReadsTheWordInHexOrDecimal)
{
    auto hex = capability_with("0x30000\n");
    EXPECT_EQ(hex.status, 0);
    EXPECT_EQ(hex.flags, 0x30000U);

    auto decimal = capability_with("65536");
    EXPECT_EQ(decimal.status, 0);
    EXPECT_EQ(decimal.flags, 0x10000U);
}

TEST(capability_flags, FailsAndLeavesTheWordWhenFileIsAbsentOrMalformed)
{
    for (const auto& content :
         std::initializer_list<std::optional<std::string>>{
             std::nullopt, "", "0x3g000", "bits", "-1", "0x10000 0x20000",
             "99999999999999999999999"})
    {
        auto result = capability_with(content);
        EXPECT_NE(result.status, 0) << content.value_or("(no file)");
        EXPECT_EQ(result.flags, 0x5A5AU) << content.value_or("(no file)");
    }
}

TEST(i2c_get, FailsWithoutTouchingTheByteWhenTheBusIsAbsent)
{
    unsigned char value = 0xA5;
    EXPECT_NE(i2cGet(251, 0x33, 4, &value), 0);
    EXPECT_EQ(value, 0xA5);
    EXPECT_NE(i2cGet(251, 0x33, 4, nullptr), 0);
}

TEST(chassis_state, OffValuesUseTheInterfaceStringForms)
{
    EXPECT_EQ(chassis::convertPowerStateToString(chassis::PowerState::Off),
              "xyz.openbmc_project.State.Chassis.PowerState.Off");
    EXPECT_EQ(chassis::convertTransitionToString(chassis::Transition::Off),
              "xyz.openbmc_project.State.Chassis.Transition.Off");
}
