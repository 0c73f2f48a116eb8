// The driver against the emulated i2c-dev board linked into this binary.

#include "fwkeeper/cpld/jed_image.hpp"
#include "fwkeeper/cpld/machx_cpld.hpp"
#include "simboard/i2c/test/support.hpp"
#include "simboard/jedec/jedec_file.hpp"

#include <dlfcn.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

// Every I2C_RDWR request the process issues, as its messages.
std::vector<std::vector<i2c_msg>> rdwr_requests;

} // namespace

// Records I2C_RDWR requests, then hands every request to the emulator.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    if (request == I2C_RDWR)
    {
        const auto* data = static_cast<const i2c_rdwr_ioctl_data*>(arg);
        rdwr_requests.emplace_back(data->msgs, data->msgs + data->nmsgs);
    }
    using ioctl_fn = int (*)(int, unsigned long, ...);
    static auto next = reinterpret_cast<ioctl_fn>(dlsym(RTLD_NEXT, "ioctl"));
    return next(fd, request, arg);
}

namespace cpld
{
namespace
{

namespace jedec = simboard::jedec;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

constexpr unsigned bus = 7;
constexpr std::uint8_t port = 0x40;
constexpr std::uint32_t config_pages = 3200;
constexpr std::uint32_t lcmxo3lf_2100c = 0x612BB043;

std::size_t count(const std::string& text, const std::string& line)
{
    std::size_t n = 0;
    for (auto at = text.find(line); at != std::string::npos;
         at = text.find(line, at + 1))
    {
        ++n;
    }
    return n;
}

jedec::image image_of(std::vector<std::string> config_rows,
                      std::vector<std::string> ufm_rows = {},
                      std::string device = "LCMXO3LF-2100C-5BG256C")
{
    jedec::image img;
    img.device = std::move(device);
    img.config_rows = std::move(config_rows);
    img.ufm_rows = std::move(ufm_rows);
    img.usercode = "UH12ab005f";
    return img;
}

class MachxCpld : public simboard::test::board_test
{
  protected:
    MachxCpld()
    {
        make_board(
            {{"buses", {{{"bus", bus}}}},
             {"devices",
              {{{"bus", bus},
                {"address", port},
                {"kind", "machxo"},
                {"idcode", lcmxo3lf_2100c},
                {"usercode", 0x12ab005f},
                {"config_pages", config_pages},
                {"user_pages", 4},
                {"done", true},
                {"erase_busy_polls", 0},
                {"program_busy_polls", 0},
                {"fill", 0}}}}});
        rdwr_requests.clear();
    }

    std::size_t transactions(std::uint8_t command)
    {
        return board->log({.command = command}).size();
    }

    std::string write_jed(const jedec::image& img)
    {
        std::string path = dir / "image.jed";
        jedec::write_file(path, jedec::jed_text(img));
        return path;
    }

    static jed_image parsed(const jedec::image& img)
    {
        jed_image image;
        std::string why;
        EXPECT_EQ(parse_jed_text(image, jedec::jed_text(img), why), 0) << why;
        return image;
    }

    // Flash pages 0.. hold the rows.
    void program(const std::vector<std::string>& rows)
    {
        for (std::uint32_t page = 0; page < rows.size(); ++page)
        {
            simboard::flash_page bytes{};
            auto row = jedec::row_bytes(rows[page]);
            std::copy(row.begin(), row.end(), bytes.begin());
            board->write_flash_page(bus, port, page, bytes);
        }
    }

    machx_cpld cpld{"/dev/i2c-7", port};
};

TEST_F(MachxCpld, TransferIsOneCombinedRequest)
{
    std::vector<std::uint8_t> reply{9, 9};
    ASSERT_EQ(cpld.i2c_transfer(command::read_id, reply, 4), 0);
    EXPECT_THAT(reply, ElementsAre(0x61, 0x2B, 0xB0, 0x43));
    ASSERT_EQ(rdwr_requests.size(), 1);
    const auto& msgs = rdwr_requests[0];
    ASSERT_EQ(msgs.size(), 2);
    EXPECT_EQ(msgs[0].addr, port);
    EXPECT_EQ(msgs[0].flags, 0);
    EXPECT_EQ(msgs[0].len, 4);
    EXPECT_EQ(msgs[1].addr, port);
    EXPECT_EQ(msgs[1].flags, I2C_M_RD);
    EXPECT_EQ(msgs[1].len, 4);

    // No reply: a single write message, the reply vector untouched.
    ASSERT_EQ(cpld.i2c_transfer(command::enable_config, reply, 0), 0);
    ASSERT_EQ(rdwr_requests.size(), 2);
    EXPECT_EQ(rdwr_requests[1].size(), 1);
    EXPECT_EQ(rdwr_requests[1][0].len, 4);
    EXPECT_EQ(reply.size(), 4);
    EXPECT_EQ(cpld.send_command(command::disable_config), 0);
    EXPECT_EQ(rdwr_requests.back().size(), 1);
    EXPECT_FALSE(board->machxo(bus, port).config_mode);
}

TEST_F(MachxCpld, TransferFailures)
{
    std::vector<std::uint8_t> reply{1, 2};
    machx_cpld absent("/dev/i2c-9", port);
    CaptureStderr();
    EXPECT_EQ(absent.i2c_transfer(command::read_id, reply, 4), -1);
    EXPECT_EQ(GetCapturedStderr(), "cannot open /dev/i2c-9\n");
    EXPECT_THAT(reply, ElementsAre(1, 2));

    board->set_silent(bus, port, true);
    CaptureStderr();
    EXPECT_EQ(cpld.i2c_transfer(command::read_id, reply, 4), -1);
    EXPECT_EQ(GetCapturedStderr(), "access cpld failed.\n");
}

TEST_F(MachxCpld, Usercode)
{
    std::string text = "stale";
    EXPECT_EQ(cpld.read_usercode(text), 0);
    EXPECT_EQ(text, "12ab005f");
    board->set_usercode(bus, port, 0x0A1B2C3D);
    EXPECT_EQ(cpld.read_usercode(text), 0);
    EXPECT_EQ(text, "0a1b2c3d");

    // An unanswered read is not a usercode, even though it yields digits.
    board->set_silent(bus, port, true);
    CaptureStderr();
    EXPECT_EQ(cpld.read_usercode(text), -1);
    EXPECT_EQ(GetCapturedStderr(), "access cpld failed.\n");
    EXPECT_EQ(text, "00000000");
}

TEST_F(MachxCpld, WaitBusy)
{
    EXPECT_EQ(cpld.wait_busy(20000), 0);
    EXPECT_EQ(transactions(0xF0), 1);
    EXPECT_EQ(transactions(0x3C), 1);

    board->clear_log();
    board->stay_busy(bus, port, 3);
    EXPECT_EQ(cpld.wait_busy(1), 0);
    EXPECT_EQ(transactions(0xF0), 4);

    board->clear_log();
    board->stay_busy_forever(bus, port);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(cpld.wait_busy(20000), -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(2000));
    EXPECT_EQ(transactions(0xF0), 100);
    EXPECT_EQ(transactions(0x3C), 1);

    // A deadline ends the polls early; every poll but the last is followed
    // by its full interval.
    board->clear_log();
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(cpld.wait_busy(20000, start + std::chrono::milliseconds(200)),
              -1);
    EXPECT_GE(std::chrono::steady_clock::now() - start,
              std::chrono::milliseconds(200));
    EXPECT_LE(transactions(0xF0), 11);
    EXPECT_EQ(transactions(0x3C), 1);

    board->clear_faults(bus, port);
    board->set_fail(bus, port, true);
    EXPECT_EQ(cpld.check_status(), 1);
    EXPECT_EQ(cpld.wait_busy(1), -1);
}

TEST_F(MachxCpld, FailedStatusReadCountsAsClean)
{
    board->nack_nth_command(bus, port, 0x3C, 1);
    board->set_fail(bus, port, true);
    CaptureStderr();
    EXPECT_EQ(cpld.check_status(), 0);
    EXPECT_EQ(GetCapturedStderr(), "access cpld failed.\nwrite failed\n");

    board->set_silent(bus, port, true);
    CaptureStderr();
    EXPECT_EQ(cpld.wait_busy(1), 0);
    std::string out = GetCapturedStderr();
    EXPECT_EQ(count(out, "busy\n"), 100);
    EXPECT_EQ(count(out, "write failed\n"), 1);
}

TEST_F(MachxCpld, CheckDeviceId)
{
    auto img = jedec::random_image(*jedec::find_part_size("LCMXO3LF-2100C"),
                                   "12ab005f", 1);
    jed_image image = parsed(img);
    CaptureStderr();
    EXPECT_EQ(cpld.check_device_id(image), find_machxo_part("LCMXO3LF-2100C"));
    EXPECT_EQ(GetCapturedStderr(),
              "i=0, id_from_jed=0x612bb043, ufm_section_position=0x00000c80\n"
              "id_from_fw=0x612bb043\n");
    EXPECT_EQ(transactions(0xE0), 1);

    board->set_idcode(bus, port, 0x612BA043);
    CaptureStderr();
    EXPECT_EQ(cpld.check_device_id(image), nullptr);
    std::string out = GetCapturedStderr();
    EXPECT_EQ(count(out, "id_from_fw=0x612ba043\n"), 3);
    EXPECT_EQ(count(out, "device names are different\n"), 3);

    // LCMXO2-1200HC parts read 0x612BA043.
    img.device = "LCMXO2-1200HC-4TG100C";
    image = parsed(img);
    EXPECT_EQ(cpld.check_device_id(image), find_machxo_part("LCMXO2-1200HC"));
}

TEST_F(MachxCpld, CheckDeviceIdNeverUsesUnreadIds)
{
    jed_image image = parsed(image_of(jedec::random_rows(config_pages, 1)));
    machx_cpld absent("/dev/i2c-9", port);
    CaptureStderr();
    EXPECT_EQ(absent.check_device_id(image), nullptr);
    std::string out = GetCapturedStderr();
    EXPECT_EQ(count(out, "cannot open /dev/i2c-9\n"), 3);
    EXPECT_EQ(count(out, "device names are different\n"), 3);
    EXPECT_THAT(out, Not(HasSubstr("id_from_fw")));

    // A failed read leaves zeros that would match a part with ID code 0.
    board->set_idcode(bus, port, 0);
    board->set_silent(bus, port, true);
    jed_image unknown =
        parsed(image_of(jedec::random_rows(1, 1), {}, "LCMXO9-9999XC-1AB123C"));
    CaptureStderr();
    EXPECT_EQ(cpld.check_device_id(unknown), nullptr);
    EXPECT_EQ(count(GetCapturedStderr(), "access cpld failed.\n"), 3);
    board->set_silent(bus, port, false);
    EXPECT_EQ(cpld.check_device_id(unknown), nullptr);
}

// The file is read once: rewritten or gone after the parse, it changes
// neither the device check nor the comparison.
TEST_F(MachxCpld, ChecksAndComparesTheImageAsParsed)
{
    auto rows = jedec::random_rows(config_pages, 8);
    std::string path = write_jed(image_of(rows));
    jed_image image;
    ASSERT_EQ(parse_jed(image, path), 0);
    write_jed(image_of(jedec::random_rows(config_pages, 9), {},
                       "LCMXO3LF-4300C-6BG256C"));
    EXPECT_NE(cpld.check_device_id(image), nullptr);
    std::filesystem::remove(path);
    EXPECT_NE(cpld.check_device_id(image), nullptr);

    program(rows);
    cpld.send_command(command::enable_config);
    EXPECT_TRUE(
        is_same_image(cpld, image, *find_machxo_part("LCMXO3LF-2100C")));
}

class SameImage : public MachxCpld
{
  public:
    // The device's part: its page limit is the fixture's configuration
    // pages.
    const machxo_part& part = *find_machxo_part("LCMXO3LF-2100C");

  protected:
    SameImage()
    {
        cpld.send_command(command::enable_config);
    }
    void parse(const jedec::image& img)
    {
        image = parsed(img);
    }
    jed_image image;
};

TEST_F(SameImage, ComparesPagesBelowLimit)
{
    auto rows = jedec::random_rows(config_pages, 3);
    parse(image_of(rows, jedec::random_rows(2, 4)));
    program(rows);
    board->clear_log();
    EXPECT_TRUE(is_same_image(cpld, image, part));
    // Page 3200, the first user flash row, is read but not compared.
    auto reads = board->log({.command = 0x73});
    ASSERT_EQ(reads.size(), config_pages + 1);
    EXPECT_THAT(reads.back().written, ElementsAre(0x73, 0, 0x0C, 0x80));
    auto addresses = board->log({.command = 0xB4});
    ASSERT_EQ(addresses.size(), config_pages + 1);
    EXPECT_THAT(addresses[258].written,
                ElementsAre(0xB4, 0, 0, 0, 0, 0, 0x01, 0x02));

    simboard::flash_page changed = board->read_flash_page(bus, port, 1599);
    changed[15] ^= 1;
    board->write_flash_page(bus, port, 1599, changed);
    EXPECT_FALSE(is_same_image(cpld, image, part));
}

TEST_F(SameImage, EndsAtLimitWithoutUserFlashRows)
{
    auto rows = jedec::random_rows(config_pages, 3);
    parse(image_of(rows));
    program(rows);
    CaptureStderr();
    EXPECT_TRUE(is_same_image(cpld, image, part));
    EXPECT_EQ(GetCapturedStderr(), "");

    // Configuration rows short of the limit cannot be verified.
    image.fuse_rows[0] = jedec::fuse_field(0, {rows[0], rows[1]});
    CaptureStderr();
    EXPECT_FALSE(is_same_image(cpld, image, part));
    EXPECT_EQ(GetCapturedStderr(), "flist[1] is empty, should not happened\n");
}

// The configuration rows run on across fields: EBR initialisation rows are
// compared like the others; the end-of-configuration zero rows up to the
// limit too.
TEST_F(SameImage, ComparesConfigurationRowsAcrossFields)
{
    auto img = image_of(jedec::random_rows(100, 3), jedec::random_rows(2, 4));
    img.ebr_rows = jedec::random_rows(50, 5);
    img.end_rows.assign(config_pages - 150, std::string(128, '0'));
    parse(img);
    program(jedec::flash_rows(img));
    board->clear_log();
    EXPECT_TRUE(is_same_image(cpld, image, part));
    EXPECT_EQ(transactions(0x73), config_pages + 1);

    simboard::flash_page changed = board->read_flash_page(bus, port, 120);
    changed[3] ^= 0x10;
    board->write_flash_page(bus, port, 120, changed);
    EXPECT_FALSE(is_same_image(cpld, image, part));
}

// Without a page limit exactly the rows through the last configuration row
// with data are compared: not the user flash, not the zero rows after.
TEST_F(SameImage, UnknownBoundaryComparesRowsWithDataOnly)
{
    auto img = image_of(jedec::random_rows(5, 5), jedec::random_rows(2, 6),
                        "LCMXO2-1200HC-4TG100C");
    img.ebr_rows = jedec::random_rows(3, 7);
    img.end_rows.assign(10, std::string(128, '0'));
    parse(img);
    const machxo_part& lcmxo2 = *find_machxo_part("LCMXO2-1200HC");
    program(jedec::flash_rows(img));
    board->clear_log();
    EXPECT_TRUE(is_same_image(cpld, image, lcmxo2));
    EXPECT_EQ(transactions(0x73), 8);

    simboard::flash_page changed = board->read_flash_page(bus, port, 7);
    changed[0] ^= 0x80;
    board->write_flash_page(bus, port, 7, changed);
    EXPECT_FALSE(is_same_image(cpld, image, lcmxo2));
}

TEST_F(SameImage, ReadFailureEndsComparison)
{
    auto rows = jedec::random_rows(4, 5);
    parse(image_of(rows));
    program(rows);
    board->nack_nth_command(bus, port, 0x73, 3);
    CaptureStderr();
    EXPECT_FALSE(is_same_image(cpld, image, part));
    EXPECT_EQ(GetCapturedStderr(),
              "access cpld failed.\n"
              "read_bypte_from_page failed, i=0, page-1=0x2, pos=269\n");
}

} // namespace
} // namespace cpld
