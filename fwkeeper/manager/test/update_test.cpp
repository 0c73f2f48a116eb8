// Whole updates with the real daemon on the simulated board.
#include "fwkeeper/cpld/jed_image.hpp"
#include "fwkeeper/manager/test/cpld_board.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace fwkeeper_test;
using simboard::output_line;
using testing::Contains;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::IsEmpty;
using testing::Not;
namespace jedec = simboard::jedec;

// Transactions of a complete update of an LCMXO3LF-2100C whose flash
// differs from the image from page 0 on, with one busy poll after the
// erase: the first written byte of each.
std::vector<std::uint8_t> complete_update_commands(std::size_t pages)
{
    std::vector<std::uint8_t> c;
    auto add = [&c](std::initializer_list<std::uint8_t> bytes,
                    std::size_t times = 1) {
        for (std::size_t i = 0; i < times; ++i)
        {
            c.insert(c.end(), bytes);
        }
    };
    add({0xE0, 0xF0, 0x3C});             // device id, wait
    add({0x74, 0xF0, 0x3C});             // enable, wait
    add({0xB4, 0x73});                   // page 0 differs
    add({0x0E, 0xF0, 0xF0, 0x3C, 0x46}); // erase, busy once, reset address
    add({0x70, 0xF0, 0x3C}, pages);      // pages with data
    add({0xB4, 0x73}, 3201);             // verify, up to the user flash
    add({0x5E, 0xF0, 0x3C});             // done
    add({0xC2, 0xF0, 0x3C});             // usercode
    add({0xC0});                         // usercode check
    add({0x26, 0xFF, 0xF0, 0x3C});       // leave, no-op, wait
    add({0x79});                         // refresh
    return c;
}

TEST(Update, ProgramsVerifiesAndReloadsThenBypassesTheSameImage)
{
    cpld_board b;
    const cpld_device device = main_board_cpld();
    ASSERT_TRUE(b.start()) << b.transcript();
    EXPECT_EQ(b.property(mb_object, "Version"), "0A1B2C3D");
    EXPECT_EQ(b.property(mb_object, "UpdasteStatus"), "None");
    const jedec::image image = b.upload(device, "5ec0de01");
    b.sim.i2c().clear_log();

    EXPECT_EQ(b.update_to_end(mb_object), "Update Complete") << b.transcript();
    EXPECT_TRUE(b.wait_for_board("NONE", "OK"));
    const auto info = b.sim.i2c().machxo(device.bus, device.address);
    EXPECT_TRUE(b.flash_holds(device, image));
    EXPECT_TRUE(info.done);
    EXPECT_EQ(info.usercode, 0x5EC0DE01U);
    EXPECT_EQ(info.refresh_count, 1U);
    EXPECT_FALSE(info.config_mode);
    EXPECT_EQ(b.property(mb_object, "Version"), "5EC0DE01");
    EXPECT_THAT(b.commands(device), ElementsAreArray(complete_update_commands(
                                        jedec::flash_rows(image).size())));
    ASSERT_TRUE(b.saw("refresh, Force the MachX to reconfigure."));
    EXPECT_THAT(
        b.daemon->lines(output_line::stream::out),
        ElementsAre(
            "Step 0: open uploaded image.",
            "Step 0.5: check if the device id are matched.",
            "Step 1: enable configuration.",
            "Step 3: check if the image is the same.", "Step 4: earse cfg.",
            "Step 5: updating....", "Step 6: check if it updates correctly.",
            "Step 7: mark update done.", "Step 8: set usercode.",
            "Step 9: verify usercode.", "disable configuration.",
            "set update status to Update Complete",
            "refresh, Force the MachX to reconfigure."));
    EXPECT_TRUE(b.saw("busy loop until cpld status ok"));
    EXPECT_TRUE(b.saw("status ok... sync nv..."));
    EXPECT_THAT(b.sim.commands(), ElementsAre("sync "));
    EXPECT_EQ(b.sim.read_file(unbind_file), "1e620000.spi");

    b.sim.i2c().clear_log();
    EXPECT_EQ(b.update_to_end(mb_object),
              "The Same CPLD Version, Bypass Update");
    EXPECT_TRUE(b.wait_for_board("NONE", "FAIL"));
    EXPECT_TRUE(b.saw("The fw is the same but we return it as success."));
    EXPECT_EQ(b.sim.i2c().machxo(device.bus, device.address).refresh_count, 1U);
    // The whole configuration flash is compared, then configuration mode
    // is left; nothing is written.
    const auto commands = b.commands(device);
    EXPECT_EQ(std::ranges::count(commands, 0x73), 3201);
    EXPECT_EQ(commands.back(), 0x26);
    EXPECT_THAT(commands, Not(Contains(0x0E)));
    EXPECT_EQ(b.property(mb_object, "Version"), "5EC0DE01");
}

// Both backplane CPLDs take the shared backplane image; a product id in
// lower case selects the board but does not detach the SPI controller.
TEST(Update, BackplaneAndLowerCaseProductIdUpdateWithoutSpiUnbind)
{
    board_setup setup;
    setup.cplds = {main_board_cpld(), backplane_cpld(), backplane2_cpld()};
    setup.product_id = "0x1b6a\n";
    cpld_board b(setup);
    ASSERT_TRUE(b.start({mb_object, bpn_object, bpn2_object}))
        << b.transcript();
    const jedec::image backplane = b.upload(backplane2_cpld(), "0000b002");
    EXPECT_EQ(b.update_to_end(bpn2_object), "Update Complete")
        << b.transcript();
    EXPECT_TRUE(b.flash_holds(backplane2_cpld(), backplane));
    EXPECT_TRUE(b.flash_untouched(backplane_cpld()));
    EXPECT_TRUE(b.flash_untouched(main_board_cpld()));
    EXPECT_EQ(b.property(bpn2_object, "Version"), "0000B002");
    EXPECT_EQ(b.property(bpn_object, "Version"), "0A1B2C3D");

    const jedec::image main_board = b.upload(main_board_cpld(), "0000a001");
    EXPECT_EQ(b.update_to_end(mb_object), "Update Complete");
    EXPECT_TRUE(b.flash_holds(main_board_cpld(), main_board));
    EXPECT_EQ(b.sim.read_file(unbind_file), "");
    EXPECT_THAT(b.sim.commands(), ElementsAre("sync ", "sync "));
}

class InvalidImage : public testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(b.start()) << b.transcript();
        b.sim.i2c().clear_log();
    }

    // The attempt ends before configuration mode: nothing but ID reads and
    // their waits reach the device, and its flash is as it was.
    void expect_untouched_device()
    {
        EXPECT_TRUE(b.wait_for_board("NONE", "FAIL"));
        for (std::uint8_t command : b.commands(device))
        {
            EXPECT_THAT((std::vector<std::uint8_t>{0xE0, 0xF0, 0x3C}),
                        Contains(command));
        }
        EXPECT_TRUE(b.flash_untouched(device));
        EXPECT_EQ(b.count("disable configuration."), 0U);
        EXPECT_EQ(b.property(mb_object, "Version"), "0A1B2C3D");
    }

    cpld_board b;
    const cpld_device device = main_board_cpld();
};

TEST_F(InvalidImage, MissingOversizeOrWrongChecksumImageIsRefusedWithoutI2c)
{
    EXPECT_EQ(b.update_to_end(mb_object), "Invalid Upload CPLD Firmware Error");
    EXPECT_TRUE(b.saw("open /tmp/cpld/images/cpld_image.bin failed"));

    b.upload_text(device, std::string(cpld::max_image_size + 1, '0'));
    EXPECT_EQ(b.update_to_end(mb_object), "Invalid Upload CPLD Firmware Error");
    EXPECT_TRUE(
        b.saw("/tmp/cpld/images/cpld_image.bin is larger than " +
              std::to_string(cpld::max_image_size) + " bytes, not an image"));

    jedec::layout bad_sum;
    bad_sum.checksum_offset = 1;
    b.upload_text(
        device,
        jedec::jed_text(jedec::random_image(*jedec::find_part_size(device.part),
                                            "12345678", 3),
                        bad_sum));
    EXPECT_EQ(b.update_to_end(mb_object), "Invalid Upload CPLD Firmware Error");
    EXPECT_THAT(b.commands(device), IsEmpty());
    expect_untouched_device();
}

TEST_F(InvalidImage, ImageForAnotherPartIsRefusedAfterThreeIdReads)
{
    jedec::image other = jedec::random_image(
        *jedec::find_part_size("LCMXO3LF-4300C"), "12345678", 3);
    b.upload_text(device, jedec::jed_text(other));
    EXPECT_EQ(b.update_to_end(mb_object), "Invalid Upload CPLD Firmware Error");
    EXPECT_TRUE(b.saw("device names are different", 3));
    EXPECT_TRUE(b.saw("The fw and the device name are different, should not "
                      "programming."));
    EXPECT_EQ(std::ranges::count(b.commands(device), 0xE0), 3);
    expect_untouched_device();
}

TEST_F(InvalidImage, LayoutWithoutRoomInTheImageIsRefused)
{
    jedec::image img =
        jedec::random_image(*jedec::find_part_size(device.part), "12345678", 3);
    jedec::layout lf_only;
    lf_only.line_end = "\n";
    b.upload_text(device, jedec::jed_text(img, lf_only));
    EXPECT_EQ(b.update_to_end(mb_object), "Invalid Upload CPLD Firmware Error");

    // A fifth "L" field.
    auto fields = jedec::fields(img);
    auto usercode = std::ranges::find_if(fields, [](const std::string& f) {
        return f.starts_with("U");
    });
    fields.insert(usercode, 3, jedec::fuse_field(0, jedec::random_rows(2, 9)));
    b.upload_text(device, jedec::jed_text(fields));
    EXPECT_EQ(b.update_to_end(mb_object), "Invalid Upload CPLD Firmware Error");
    expect_untouched_device();
}

// Usercode digits that are not hexadecimal cannot be programmed: the image
// is in place and marked done, and the attempt fails at the usercode.
TEST(Update, UsercodeThatIsNotHexadecimalEndsWithSetUsercodeError)
{
    cpld_board b;
    const cpld_device device = main_board_cpld();
    ASSERT_TRUE(b.start()) << b.transcript();
    std::uint32_t seed = 11;
    for (const char* field : {"U12345678", "UH1234567G"})
    {
        jedec::image img = jedec::random_image(
            *jedec::find_part_size(device.part), "00000000", ++seed);
        img.usercode = field;
        b.upload_text(device, jedec::jed_text(img));
        EXPECT_EQ(b.update_to_end(mb_object), "Set Usercode Error") << field;
        EXPECT_TRUE(b.wait_for_board("NONE", "FAIL"));
        const auto info = b.sim.i2c().machxo(device.bus, device.address);
        EXPECT_TRUE(info.done);
        EXPECT_TRUE(b.flash_holds(device, img));
        EXPECT_EQ(info.refresh_count, 0U);
        EXPECT_THAT(b.commands(device), Not(Contains(0xC2)));
    }
    EXPECT_EQ(b.property(mb_object, "Version"), "0A1B2C3D");
}

} // namespace
