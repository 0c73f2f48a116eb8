// The MachXO configuration port model, driven over I2C_RDWR.

#include "support.hpp"

extern "C"
{
#include <i2c/smbus.h>
}

#include <linux/i2c-dev.h>
#include <sys/ioctl.h>

#include <chrono>
#include <iostream>

namespace simboard::test
{
namespace
{

using ::testing::Each;
using ::testing::ElementsAre;
using bytes = std::vector<uint8_t>;

constexpr uint8_t port = 0x40;
constexpr uint32_t status_done = 1U << 8;
constexpr uint32_t status_config_mode = 1U << 9;
constexpr uint32_t status_busy = 1U << 12;
constexpr uint32_t status_fail = 1U << 13;

const bytes enable_command{0x74, 0x08, 0x00, 0x00};
const bytes erase_config{0x0E, 0x04, 0x00, 0x00};
const bytes init_address{0x46, 0x00, 0x00, 0x00};
const bytes read_page{0x73, 0x00, 0x00, 0x01};
const bytes program_done{0x5E, 0x00, 0x00, 0x00};
const bytes disable_command{0x26, 0x00, 0x00};
const bytes refresh_command{0x79, 0x00, 0x00};

bytes program_page(uint8_t fill)
{
    bytes command{0x70, 0x00, 0x00, 0x01};
    command.resize(20, fill);
    return command;
}

bytes write_address(uint16_t page)
{
    return {0xB4,
            0,
            0,
            0,
            0,
            0,
            static_cast<uint8_t>(page >> 8),
            static_cast<uint8_t>(page)};
}

bytes program_usercode(uint32_t usercode)
{
    return {0xC2,
            0,
            0,
            0,
            static_cast<uint8_t>(usercode >> 24),
            static_cast<uint8_t>(usercode >> 16),
            static_cast<uint8_t>(usercode >> 8),
            static_cast<uint8_t>(usercode)};
}

nlohmann::json machxo_board(unsigned config_pages)
{
    return {{"buses", {{{"bus", 3}}}},
            {"devices",
             {{{"bus", 3},
               {"address", port},
               {"kind", "machxo"},
               {"idcode", "0x012BB043"},
               {"usercode", "0x11223344"},
               {"config_pages", config_pages},
               {"user_pages", 4},
               {"done", true},
               {"erase_busy_polls", 2},
               {"program_busy_polls", 1},
               {"fill", "0xa5"}}}}};
}

class Machxo : public board_test
{
  protected:
    explicit Machxo(unsigned config_pages = 64)
    {
        make_board(machxo_board(config_pages));
        fd.emplace(3);
    }

    // Sends a command that the device must acknowledge.
    bytes send(const bytes& command, size_t read_length = 0)
    {
        auto [result, reply] = fd->transfer(port, command, read_length);
        EXPECT_GE(result, 0) << "command " << int{command[0]};
        return reply;
    }
    uint32_t status()
    {
        bytes r = send({0x3C, 0, 0, 0}, 4);
        return (uint32_t{r[0]} << 24) | (r[1] << 16) | (r[2] << 8) | r[3];
    }
    bool busy()
    {
        return (send({0xF0, 0, 0, 0}, 1)[0] & 0x80) != 0;
    }
    // Polls until ready; returns the number of polls that saw busy.
    unsigned wait_ready()
    {
        unsigned polls = 0;
        while (busy() && polls < 1000)
        {
            ++polls;
        }
        return polls;
    }
    machxo_info info() const
    {
        return board->machxo(3, port);
    }
    flash_page page(uint32_t number) const
    {
        return board->read_flash_page(3, port, number);
    }

    std::optional<bus_fd> fd;
};

TEST_F(Machxo, QueriesReportIdentityAndState)
{
    EXPECT_THAT(send({0xE0, 0, 0, 0}, 4), ElementsAre(0x01, 0x2B, 0xB0, 0x43));
    EXPECT_THAT(send({0xC0, 0, 0, 0}, 4), ElementsAre(0x11, 0x22, 0x33, 0x44));
    EXPECT_FALSE(busy());
    EXPECT_EQ(status(), status_done);
    send({0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(status(), status_done);
    // A command without output reads as an idle bus.
    EXPECT_THAT(send(disable_command, 2), ElementsAre(0xFF, 0xFF));
}

TEST_F(Machxo, ConfigurationCommandsNeedConfigurationMode)
{
    const std::vector<std::pair<bytes, size_t>> config_only{
        {erase_config, 0},     {{0x0E, 0x08, 0, 0}, 0},
        {init_address, 0},     {program_page(0x5A), 0},
        {write_address(3), 0}, {read_page, 16},
        {program_done, 0},     {program_usercode(0xCAFE), 0}};
    for (const auto& [command, read_length] : config_only)
    {
        send(command, read_length);
        EXPECT_EQ(status(), status_done | status_fail) << int{command[0]};
        send(enable_command);
        EXPECT_EQ(status(), status_done | status_config_mode);
        send(disable_command);
    }
    machxo_info after = info();
    EXPECT_TRUE(after.done);
    EXPECT_EQ(after.usercode, 0x11223344U);
    EXPECT_EQ(after.page_address, 0U);
    EXPECT_THAT(page(0), Each(0xA5));
    EXPECT_THAT(page(64), Each(0xA5));

    // Leaving configuration mode and reloading work in any mode.
    send(refresh_command);
    EXPECT_EQ(info().refresh_count, 1U);
    EXPECT_EQ(status(), status_done);
}

TEST_F(Machxo, UpdateSequence)
{
    send(enable_command);
    EXPECT_TRUE(info().config_mode);
    send(erase_config);
    EXPECT_EQ(status(), status_config_mode | status_busy);
    EXPECT_EQ(wait_ready(), 2U);
    EXPECT_EQ(status(), status_config_mode);
    EXPECT_FALSE(info().done);
    EXPECT_EQ(info().usercode, 0U);
    EXPECT_THAT(page(0), Each(0x00));
    EXPECT_THAT(page(63), Each(0x00));
    EXPECT_THAT(page(64), Each(0xA5)); // user flash is kept

    send(init_address);
    for (uint8_t fill : {0x11, 0x22, 0x33})
    {
        send(program_page(fill));
        EXPECT_EQ(wait_ready(), 1U);
    }
    EXPECT_THAT(page(2), Each(0x33));
    EXPECT_EQ(info().page_address, 3U);

    send(write_address(1));
    EXPECT_THAT(send(read_page, 16), Each(0x22));
    bytes two_pages = send(read_page, 32);
    EXPECT_THAT(bytes(two_pages.begin(), two_pages.begin() + 16), Each(0x33));
    EXPECT_THAT(bytes(two_pages.begin() + 16, two_pages.end()), Each(0x00));
    EXPECT_EQ(info().page_address, 4U);

    send(program_done);
    EXPECT_EQ(wait_ready(), 1U);
    send(program_usercode(0xCAFEF00D));
    EXPECT_EQ(wait_ready(), 1U);
    EXPECT_THAT(send({0xC0, 0, 0, 0}, 4), ElementsAre(0xCA, 0xFE, 0xF0, 0x0D));
    EXPECT_EQ(status(), status_done | status_config_mode);

    send(disable_command);
    EXPECT_FALSE(info().config_mode);
    send(refresh_command);
    machxo_info after = info();
    EXPECT_EQ(after.refresh_count, 1U);
    EXPECT_TRUE(after.done);
    EXPECT_EQ(after.usercode, 0xCAFEF00DU);
}

TEST_F(Machxo, UserFlashEraseKeepsConfiguration)
{
    send(enable_command);
    send({0x0E, 0x08, 0x00, 0x00});
    wait_ready();
    EXPECT_THAT(page(0), Each(0xA5));
    EXPECT_THAT(page(67), Each(0x00));
    EXPECT_TRUE(info().done);
    EXPECT_EQ(info().usercode, 0x11223344U);
}

TEST_F(Machxo, ProgrammingOnlySetsBitsUntilErased)
{
    send(enable_command);
    send(init_address);
    send(program_page(0x5A));
    wait_ready();
    EXPECT_THAT(page(0), Each(0xFF));
    send(program_usercode(0x00000001));
    wait_ready();
    EXPECT_EQ(info().usercode, 0x11223345U);
}

TEST_F(Machxo, BusyDeviceServesOnlyQueries)
{
    send(enable_command);
    send(erase_config);
    send(write_address(5));
    EXPECT_THAT(send({0xE0, 0, 0, 0}, 4), ElementsAre(0x01, 0x2B, 0xB0, 0x43));
    EXPECT_EQ(status(), status_config_mode | status_busy | status_fail);
    EXPECT_EQ(wait_ready(), 2U);
    EXPECT_EQ(info().page_address, 0U);
    EXPECT_EQ(status(), status_config_mode | status_fail);
}

TEST_F(Machxo, PageAddressBeyondFlashFails)
{
    send(enable_command);
    send(write_address(68));
    send(program_page(0x01));
    EXPECT_TRUE(info().fail);
    send(enable_command);
    send(write_address(67));
    send(read_page, 32);
    EXPECT_TRUE(info().fail);
    EXPECT_EQ(info().page_address, 67U);
    send(enable_command);
    EXPECT_THAT(send(read_page, 16), Each(0xA5));
    EXPECT_FALSE(info().fail);
}

TEST_F(Machxo, MalformedCommandsAreNacked)
{
    const std::vector<bytes> malformed{
        {0x74, 0x08, 0x00},
        {0x70, 0x00, 0x00, 0x01, 0x00},
        {0xC2, 0, 0, 0, 0x12, 0x34, 0x56, 0x78, 0x9A},
        {0x26, 0x00, 0x00, 0x00},
        {0x99, 0x00, 0x00, 0x00}};
    for (const bytes& command : malformed)
    {
        EXPECT_EQ(fd->transfer(port, command).first, -1) << int{command[0]};
        EXPECT_EQ(errno, EREMOTEIO);
    }
    EXPECT_EQ(ioctl(fd->get(), I2C_SLAVE, port), 0);
    EXPECT_EQ(i2c_smbus_read_byte_data(fd->get(), 0xE0), -EREMOTEIO);
    EXPECT_EQ(status(), status_done);
    EXPECT_FALSE(info().config_mode);
}

TEST_F(Machxo, BusyAndFailFaults)
{
    board->stay_busy(3, port, 5);
    EXPECT_EQ(wait_ready(), 5U);

    board->stay_busy_forever(3, port);
    for (int poll = 0; poll < 150; ++poll)
    {
        ASSERT_TRUE(busy());
    }
    EXPECT_EQ(status(), status_done | status_busy);
    board->clear_faults(3, port);
    EXPECT_FALSE(busy());

    board->set_fail(3, port, true);
    send(enable_command);
    EXPECT_EQ(status(), status_done | status_config_mode | status_fail);
    board->set_fail(3, port, false);
    EXPECT_EQ(status(), status_done | status_config_mode);
}

TEST_F(Machxo, NackedProgramWriteLeavesAddress)
{
    send(enable_command);
    send(erase_config);
    wait_ready();
    send(init_address);
    board->nack_nth_command(3, port, 0x70, 3);
    for (uint8_t fill = 1; fill <= 5; ++fill)
    {
        auto [result, reply] = fd->transfer(port, program_page(fill));
        EXPECT_EQ(result, fill == 3 ? -1 : 1);
        wait_ready();
    }
    EXPECT_THAT(page(1), Each(2));
    EXPECT_THAT(page(2), Each(4));
    EXPECT_THAT(page(3), Each(5));
    EXPECT_THAT(page(4), Each(0));
    EXPECT_EQ(board->log({.command = 0x70}).size(), 5U);
}

class MachxoFullSize : public Machxo
{
  protected:
    MachxoFullSize() : Machxo(12544) {}
};

// The traffic of a real update: every page programmed and waited for
// (busy check and status), then read back with an address write each.
TEST_F(MachxoFullSize, ProgramAndVerify3200Pages)
{
    constexpr unsigned pages = 3200;
    auto start = std::chrono::steady_clock::now();
    send(enable_command);
    send(erase_config);
    wait_ready();
    send(init_address);
    for (unsigned i = 0; i < pages; ++i)
    {
        send(program_page(static_cast<uint8_t>(i)));
        wait_ready();
        status();
    }
    for (unsigned i = 0; i < pages; ++i)
    {
        send(write_address(static_cast<uint16_t>(i)));
        ASSERT_THAT(send(read_page, 16), Each(static_cast<uint8_t>(i)));
    }
    std::chrono::duration<double> elapsed =
        std::chrono::steady_clock::now() - start;
    uint64_t count = board->transaction_count();
    EXPECT_EQ(count, 3U + 3 + pages * 4 + pages * 2);
    EXPECT_EQ(page(12543), flash_page{});
    std::cout << count << " transactions in " << elapsed.count() << " s\n";
}

} // namespace
} // namespace simboard::test
