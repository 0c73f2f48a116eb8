// I2C faults at each phase of an update, with the real daemon on the
// simulated board: each attempt ends with its own status, releases the
// board with "FAIL", never reloads the device and leaves the daemon
// serving the next request.
#include "fwkeeper/manager/test/cpld_board.hpp"
#include "simboard/fixture/time_scale.hpp"
#include "simboard/i2c/i2c_board.hpp"
#include "simboard/jedec/jedec_file.hpp"

#include <sys/wait.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace fwkeeper_test;
using testing::Contains;
using testing::ElementsAre;
using testing::Not;

struct phase_fault
{
    const char* phase;
    std::uint8_t command; // the n-th transaction starting with it NACKs
    unsigned nth;
    const char* status;
    bool before_erase;
    bool done; // the done flag afterwards
};

// Step 3 reads one page (page 0 differs), so the verification reads count
// from the second read on. The image has 533 configuration rows with data
// (a sixth of the 3200 configuration pages).
const phase_fault phase_faults[] = {
    {"enable", 0x74, 1, "Enable Configuration Error", true, true},
    {"erase", 0x0E, 1, "Erase Configuration Error", true, true},
    {"address_reset", 0x46, 1, "Erase Configuration Error", false, false},
    {"first_page", 0x70, 1, "Program Firmware Error", false, false},
    {"middle_page", 0x70, 266, "Program Firmware Error", false, false},
    {"last_page", 0x70, 533, "Program Firmware Error", false, false},
    {"verification_read", 0x73, 1002, "Verify Firmware Error", false, false},
    {"done", 0x5E, 1, "Set Program Done Error", false, false},
    {"usercode", 0xC2, 1, "Set Usercode Error", false, true},
    {"usercode_read_back", 0xC0, 1, "Verify Usercode Error", false, true},
};

class PhaseFault : public testing::TestWithParam<phase_fault>
{};

TEST_P(PhaseFault, EndsWithItsStatusAndReleasesTheBoard)
{
    const phase_fault& fault = GetParam();
    cpld_board b;
    const cpld_device device = main_board_cpld();
    ASSERT_TRUE(b.start()) << b.transcript();
    b.upload(device, "5ec0de01");
    b.sim.i2c().clear_log();
    b.sim.i2c().nack_nth_command(device.bus, device.address, fault.command,
                                 fault.nth);

    EXPECT_EQ(b.update_to_end(mb_object), fault.status) << b.transcript();
    EXPECT_TRUE(b.wait_for_board("NONE", "FAIL"));
    EXPECT_TRUE(b.saw("access cpld failed.")) << b.transcript();
    EXPECT_TRUE(b.saw("disable configuration."));

    const auto info = b.sim.i2c().machxo(device.bus, device.address);
    EXPECT_EQ(info.refresh_count, 0U);
    EXPECT_FALSE(info.config_mode);
    EXPECT_EQ(b.flash_untouched(device), fault.before_erase);
    EXPECT_EQ(info.done, fault.done);
    const auto commands = b.commands(device);
    EXPECT_EQ(commands.back(), 0x26);
    EXPECT_THAT(commands, Not(Contains(0x79)));
    if (fault.command == 0x70)
    {
        // Programming stops at the failed page.
        EXPECT_EQ(std::ranges::count(commands, 0x70), fault.nth);
        EXPECT_TRUE(b.saw("write failed"));
        EXPECT_TRUE(b.saw("program data failed."));
    }
    if (fault.command == 0xC0)
    {
        // A read-back that failed reports what each side holds.
        EXPECT_TRUE(b.saw("Get usercode: 5ec0de01 from jed file"));
        EXPECT_TRUE(b.saw("Get usercode: 00000000 from fw"));
        EXPECT_TRUE(b.saw("verify usercode failed."));
    }
    // Still serving, with the version it had.
    EXPECT_EQ(b.property(mb_object, "Version"), "0A1B2C3D");
    EXPECT_EQ(b.property(mb_object, "UpdasteStatus"), fault.status);
}

INSTANTIATE_TEST_SUITE_P(Update, PhaseFault, testing::ValuesIn(phase_faults),
                         [](const testing::TestParamInfo<phase_fault>& info) {
                             return std::string(info.param.phase);
                         });

// Memory runs out while the image is read, with the board claimed: the
// exception unwinds through the request, which gives the board back before
// the exception leaves it and ends the daemon with a failure status. Its
// unit restarts it, and the next Update is served.
TEST(RequestEnd, ExceptionInTheMiddleGivesTheBoardBack)
{
    cpld_board b;
    const cpld_device device = main_board_cpld();
    ASSERT_TRUE(
        b.start({mb_object}, {{"LD_PRELOAD", simboard::i2c_preload_value() +
                                                 ":" + IMAGE_READ_FAULT}}))
        << b.transcript();
    b.upload(device, "5ec0de01");
    EXPECT_EQ(b.update(mb_object), std::nullopt);
    const auto status = b.daemon->wait_exit(simboard::scaled(5s));
    ASSERT_TRUE(status) << b.transcript();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1);
    const auto errors = b.daemon->lines(simboard::output_line::stream::err);
    const auto given_back = std::ranges::find(
        errors, "update of MBCPLD ended without its release, board given back");
    const auto stopped =
        std::ranges::find_if(errors, [](const std::string& line) {
            return line.starts_with("fwkeeper stopped: ");
        });
    ASSERT_NE(stopped, errors.end()) << b.transcript();
    EXPECT_LT(given_back, stopped) << b.transcript();
    EXPECT_TRUE(b.wait_for_board("NONE", "FAIL"));
    EXPECT_THAT(b.commands(device), ElementsAre(0xC0)); // start-up read only

    ASSERT_TRUE(b.start()) << b.transcript();
    EXPECT_EQ(b.update_to_end(mb_object), "Update Complete") << b.transcript();
    EXPECT_TRUE(b.wait_for_board("NONE", "OK"));
}

// The image is read once per update: replaced on disk right after the
// daemon read it (with an image of another part, which the device check
// would refuse), the update checks, programs and compares what it read.
TEST(RequestEnd, ImageReplacedOnceReadIsNotReadAgain)
{
    cpld_board b;
    const cpld_device device = main_board_cpld();
    const std::string next_image = "/tmp/cpld/images/next.bin";
    ASSERT_TRUE(b.start(
        {mb_object},
        {{"LD_PRELOAD", simboard::i2c_preload_value() + ":" + IMAGE_READ_FAULT},
         {"IMAGE_SWAP_FROM", next_image}}))
        << b.transcript();
    const simboard::jedec::image uploaded = b.upload(device, "5ec0de01");
    simboard::jedec::image other = uploaded;
    other.device = "LCMXO2-640HC-4TG100C";
    const std::string other_text = simboard::jedec::jed_text(other);
    b.sim.write_file(next_image, other_text);

    EXPECT_EQ(b.update_to_end(mb_object), "Update Complete") << b.transcript();
    EXPECT_EQ(b.sim.read_file(mb_image), other_text); // replaced indeed
    EXPECT_TRUE(b.flash_holds(device, uploaded));
}

} // namespace
