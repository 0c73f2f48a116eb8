// The end of an update attempt against the emulated i2c-dev board linked
// into this binary.
#include "fwkeeper/cpld/update.hpp"
#include "simboard/fixture/time_scale.hpp"
#include "simboard/i2c/test/support.hpp"

#include <chrono>
#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using cpld::update_result;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

constexpr unsigned bus = 7;
constexpr std::uint8_t port = 0x40;

class Settle : public simboard::test::board_test
{
  protected:
    Settle()
    {
        make_board({{"buses", {{{"bus", bus}}}},
                    {"devices",
                     {{{"bus", bus},
                       {"address", port},
                       {"kind", "machxo"},
                       {"idcode", 0x612BB043},
                       {"config_pages", 16},
                       {"done", true}}}}});
    }

    std::vector<std::uint8_t> commands() const
    {
        std::vector<std::uint8_t> first_bytes;
        for (const auto& entry : board->log())
        {
            first_bytes.push_back(entry.written.at(0));
        }
        return first_bytes;
    }

    /** Leaves configuration mode after a completed update with a device
     *  that stays busy; checks that it took the minute's bound and no
     *  more, and returns what it printed. */
    std::string leave_busy_device()
    {
        CaptureStderr();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(cpld::leave_configuration(device, update_result::success),
                  update_result::verify_failed);
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::seconds(60));
        EXPECT_LT(waited, std::chrono::seconds(60) +
                              simboard::scaled(std::chrono::seconds(15)));
        return GetCapturedStderr();
    }

    cpld::machx_cpld device{"/dev/i2c-7", port};
};

TEST_F(Settle, FailedAttemptOnlyLeavesConfigurationMode)
{
    EXPECT_EQ(cpld::leave_configuration(device, update_result::erase_failed),
              update_result::erase_failed);
    EXPECT_EQ(cpld::leave_configuration(device, update_result::same_image),
              update_result::same_image);
    EXPECT_THAT(commands(), ElementsAre(0x26, 0x26));
}

TEST_F(Settle, CompletedAttemptWaitsForACleanStatus)
{
    CaptureStderr();
    EXPECT_EQ(cpld::leave_configuration(device, update_result::success),
              update_result::success);
    EXPECT_THAT(GetCapturedStderr(),
                HasSubstr("busy loop until cpld status ok\n"
                          "status ok... sync nv...\n"));
    EXPECT_THAT(commands(), ElementsAre(0x26, 0xFF, 0xF0, 0x3C));
}

// Takes about a minute: the bound itself. The device was still busy when
// it was told to leave configuration mode, which it flags as a failure.
TEST_F(Settle, DeviceThatNeverSettlesDoesNotCompleteTheUpdate)
{
    board->stay_busy(bus, port, 2);
    const std::string errors = leave_busy_device();
    EXPECT_THAT(errors, HasSubstr("cpld status still busy or failed after "
                                  "the update, update not completed.\n"));
    EXPECT_THAT(errors, Not(HasSubstr("status ok...")));
}

// Takes a minute: the same bound for a device whose busy flag never
// clears. Polled every half second, it sees at most 121 busy checks in
// that minute however slowly the build runs (200 would be two whole rounds
// of 100 polls, about 100 s).
TEST_F(Settle, DeviceThatStaysBusyIsGivenUpAfterAMinute)
{
    board->stay_busy_forever(bus, port);
    const std::string errors = leave_busy_device();
    EXPECT_LE(board->log({.command = 0xF0}).size(), 121U);
    EXPECT_THAT(errors, HasSubstr("update not completed.\n"));
}

} // namespace
