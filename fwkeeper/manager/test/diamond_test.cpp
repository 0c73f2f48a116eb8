// Updates from images in the layout Lattice Diamond writes, and the image
// checker's verdict on each of them beside the daemon's.
#include "fwkeeper/cpld/jed_image.hpp"
#include "fwkeeper/manager/test/cpld_board.hpp"

#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace fwkeeper_test;
using simboard::output_line;
using testing::IsEmpty;
namespace jedec = simboard::jedec;

constexpr const char* invalid_image = "Invalid Upload CPLD Firmware Error";
constexpr const char* refused = "fwkeeper would not update a part with it: ";

struct verdict
{
    int status = -1;
    std::vector<std::string> lines;
};

// cpld-image-check on a file of the board, seen as the daemon sees it.
verdict check_image(cpld_board& b, const std::string& fixed_path)
{
    auto checker = b.sim.start_command({CPLD_IMAGE_CHECK_BIN, fixed_path});
    auto status = checker->wait_exit(simboard::scaled(20s));
    verdict v{status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1,
              checker->lines(output_line::stream::out)};
    return v;
}

// Updates the main-board CPLD from its uploaded image and holds the checker
// to the daemon's decision: it would update exactly when the daemon went on
// past its image checks, and otherwise refuses with the daemon's one line.
std::string update_checked(cpld_board& b)
{
    const verdict v = check_image(b, mb_image);
    const std::size_t passed = b.count("Step 0.5:");
    const std::size_t errors = b.daemon->lines(output_line::stream::err).size();
    const std::string status = b.update_to_end(mb_object);
    EXPECT_FALSE(v.lines.empty());
    const std::string last = v.lines.empty() ? "" : v.lines.back();
    if (b.count("Step 0.5:") > passed)
    {
        EXPECT_EQ(v.status, 0) << last;
        return status;
    }
    EXPECT_EQ(v.status, 1) << last;
    EXPECT_TRUE(last.starts_with(refused)) << last;
    const std::string why = last.substr(std::min(last.size(), strlen(refused)));
    EXPECT_TRUE(b.saw(why)) << b.transcript();
    const auto lines = b.daemon->lines(output_line::stream::err);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + errors, lines.end()),
              std::vector<std::string>{why});
    return status;
}

std::string update_from(cpld_board& b, const std::string& text)
{
    b.upload_text(main_board_cpld(), text);
    return update_checked(b);
}

board_setup setup_for(const std::string& part)
{
    board_setup setup;
    setup.cplds.front().part = part;
    return setup;
}

// The device's configuration flash holds the image's compared pages.
bool flash_holds(cpld_board& b, const std::string& text)
{
    cpld::jed_image image;
    std::string why;
    if (cpld::parse_jed_text(image, text, why) != 0)
    {
        return false;
    }
    const auto* part = cpld::find_machxo_part(image.device_name);
    const auto pages = cpld::plan_pages(image, part->page_limit).compare_pages;
    const cpld_device device = main_board_cpld();
    cpld::page_cursor rows;
    for (std::uint32_t page = 0; page < pages; ++page)
    {
        std::vector<std::uint8_t> expected;
        rows.next(image, expected);
        auto stored =
            b.sim.i2c().read_flash_page(device.bus, device.address, page);
        if (!std::equal(stored.begin(), stored.end(), expected.begin(),
                        expected.end()))
        {
            return false;
        }
    }
    return true;
}

// Every part of the device table, in Diamond's layout with and without
// EBR initialisation rows (for the MachXO3D with four fuse fields then).
TEST(DiamondImage, EveryPartUpdatesWithAndWithoutEbrInitRows)
{
    for (const cpld::machxo_part& part : cpld::machxo_parts)
    {
        cpld_board b(setup_for(std::string(part.name)));
        ASSERT_TRUE(b.start()) << b.transcript();
        const auto& size = *jedec::find_part_size(part.name);
        std::uint32_t seed = 1;
        for (std::size_t ebr : {0, 60})
        {
            const auto image =
                jedec::random_image(size, "5ec0de01", ++seed, ebr);
            EXPECT_EQ(update_from(b, jedec::jed_text(image)), "Update Complete")
                << part.name << b.transcript();
            EXPECT_TRUE(b.flash_holds(main_board_cpld(), image)) << part.name;
            const auto info = b.sim.i2c().machxo(7, 0x40);
            EXPECT_TRUE(info.done);
            EXPECT_EQ(info.usercode, 0x5EC0DE01U);
        }
    }
}

// One line each, before the status, and no transaction reaches the device.
TEST(DiamondImage, EachRefusalSaysWhyAndTheCheckerAgrees)
{
    cpld_board b;
    ASSERT_TRUE(b.start()) << b.transcript();
    const auto& size = *jedec::find_part_size("LCMXO3LF-2100C");
    const auto image = jedec::random_image(size, "12345678", 3, 20);
    auto changed = [&](auto change) {
        auto copy = image;
        change(copy);
        return jedec::jed_text(copy);
    };
    std::string short_row = jedec::jed_text(image);
    short_row.erase(short_row.find("L000000\r\n") + 20, 1);
    const std::vector<std::pair<std::string, std::string>> cases{
        {jedec::jed_text(image, {.line_end = "\n"}), "ends in LF alone"},
        {jedec::jed_text(image, {.checksum_offset = 9}),
         "transmission checksum of the image differs"},
        {changed([](auto& i) { i.device = "LCMXO2-7000HC-4TG144C"; }),
         "device name \"LCMXO2-7000HC\""},
        {short_row, "malformed image at line 17: a fuse row"},
        {changed([](auto& i) { i.end_rows.resize(1000); }),
         "fw has 1553 configuration rows, fewer than the 3200"},
        {std::string(cpld::max_image_size + 1, '0'), "bytes, not an image"},
    };
    b.sim.i2c().clear_log();
    for (const auto& [text, reason] : cases)
    {
        EXPECT_EQ(update_from(b, text), invalid_image) << reason;
        EXPECT_TRUE(b.saw(reason)) << b.transcript();
    }
    b.sim.remove_file(mb_image);
    EXPECT_EQ(update_checked(b), invalid_image);
    EXPECT_TRUE(b.saw("open /tmp/cpld/images/cpld_image.bin failed"));
    EXPECT_EQ(b.count("device names are different"), 0U);
    EXPECT_EQ(b.count("The fw and the device name are different"), 0U);
    EXPECT_THAT(b.commands(main_board_cpld()), IsEmpty());
}

std::string lf_line_ends(const std::string& text)
{
    std::string lf;
    for (char c : text)
    {
        if (c != '\r')
        {
            lf += c;
        }
    }
    return lf;
}

// The files of real designs next to the project (they cannot be part of
// it): each updates completely; a copy whose line ends lost their CR is
// refused before the device is touched.
TEST(DiamondImage, FilesDiamondWroteUpdateAndTheirLfCopiesAreRefused)
{
    const std::filesystem::path dir = REAL_JED_DIR;
    if (!std::filesystem::is_directory(dir))
    {
        GTEST_SKIP() << dir << " is not here";
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir))
    {
        if (entry.path().extension() != ".jed")
        {
            continue;
        }
        std::ostringstream read;
        read << std::ifstream(entry.path(), std::ios::binary).rdbuf();
        const std::string text = read.str();
        cpld_board b(setup_for(cpld::jed_device_name(text)));
        ASSERT_TRUE(b.start()) << b.transcript();
        EXPECT_EQ(update_from(b, text), "Update Complete") << b.transcript();
        const auto info = b.sim.i2c().machxo(7, 0x40);
        EXPECT_TRUE(flash_holds(b, text)) << entry.path();
        EXPECT_TRUE(info.done);
        EXPECT_EQ(info.usercode, 0U);
        for (const std::string& line : check_image(b, mb_image).lines)
        {
            std::cout << line << "\n";
        }

        b.sim.i2c().clear_log();
        EXPECT_EQ(update_from(b, lf_line_ends(text)), invalid_image);
        EXPECT_TRUE(b.saw("of the image ends in LF alone"));
        EXPECT_THAT(b.commands(main_board_cpld()), IsEmpty());
        EXPECT_TRUE(flash_holds(b, text));
    }
}

} // namespace
