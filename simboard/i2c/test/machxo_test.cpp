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
constexpr uint32_t statusDone = 1U << 8;
constexpr uint32_t statusConfigMode = 1U << 9;
constexpr uint32_t statusBusy = 1U << 12;
constexpr uint32_t statusFail = 1U << 13;

const bytes enableCommand{0x74, 0x08, 0x00, 0x00};
const bytes eraseConfig{0x0E, 0x04, 0x00, 0x00};
const bytes initAddress{0x46, 0x00, 0x00, 0x00};
const bytes readPage{0x73, 0x00, 0x00, 0x01};
const bytes programDone{0x5E, 0x00, 0x00, 0x00};
const bytes disableCommand{0x26, 0x00, 0x00};
const bytes refreshCommand{0x79, 0x00, 0x00};

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

nlohmann::json machxo_board(unsigned configPages)
{
    return {{"buses", {{{"bus", 3}}}},
            {"devices",
             {{{"bus", 3},
               {"address", port},
               {"kind", "machxo"},
               {"idcode", "0x012BB043"},
               {"usercode", "0x11223344"},
               {"config_pages", configPages},
               {"user_pages", 4},
               {"done", true},
               {"erase_busy_polls", 2},
               {"program_busy_polls", 1},
               {"fill", "0xa5"}}}}};
}

class Machxo : public board_test
{
  protected:
    explicit Machxo(unsigned configPages = 64)
    {
        make_board(machxo_board(configPages));
        fd.emplace(3);
    }

    // Sends a command that the device must acknowledge.
    bytes send(const bytes& command, size_t readLength = 0)
    {
        auto [result, reply] = fd->transfer(port, command, readLength);
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
    EXPECT_EQ(status(), statusDone);
    send({0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(status(), statusDone);
    // A command without output reads as an idle bus.
    EXPECT_THAT(send(disableCommand, 2), ElementsAre(0xFF, 0xFF));
}

TEST_F(Machxo, ConfigurationCommandsNeedConfigurationMode)
{
    const std::vector<std::pair<bytes, size_t>> configOnly{
        {eraseConfig, 0},        {{0x0E, 0x08, 0, 0}, 0},      {initAddress, 0},
        {program_page(0x5A), 0}, {write_address(3), 0},        {readPage, 16},
        {programDone, 0},        {program_usercode(0xCAFE), 0}};
    for (const auto& [command, readLength] : configOnly)
    {
        send(command, readLength);
        EXPECT_EQ(status(), statusDone | statusFail) << int{command[0]};
        send(enableCommand);
        EXPECT_EQ(status(), statusDone | statusConfigMode);
        send(disableCommand);
    }
    machxo_info after = info();
    EXPECT_TRUE(after.done);
    EXPECT_EQ(after.usercode, 0x11223344U);
    EXPECT_EQ(after.page_address, 0U);
    EXPECT_THAT(page(0), Each(0xA5));
    EXPECT_THAT(page(64), Each(0xA5));

    // Leaving configuration mode and reloading work in any mode.
    send(refreshCommand);
    EXPECT_EQ(info().refresh_count, 1U);
    EXPECT_EQ(status(), statusDone);
}

TEST_F(Machxo, UpdateSequence)
{
    send(enableCommand);
    EXPECT_TRUE(info().config_mode);
    send(eraseConfig);
    EXPECT_EQ(status(), statusConfigMode | statusBusy);
    EXPECT_EQ(wait_ready(), 2U);
    EXPECT_EQ(status(), statusConfigMode);
    EXPECT_FALSE(info().done);
    EXPECT_EQ(info().usercode, 0U);
    EXPECT_THAT(page(0), Each(0x00));
    EXPECT_THAT(page(63), Each(0x00));
    EXPECT_THAT(page(64), Each(0xA5)); // user flash is kept

    send(initAddress);
    for (uint8_t fill : {0x11, 0x22, 0x33})
    {
        send(program_page(fill));
        EXPECT_EQ(wait_ready(), 1U);
    }
    EXPECT_THAT(page(2), Each(0x33));
    EXPECT_EQ(info().page_address, 3U);

    send(write_address(1));
    EXPECT_THAT(send(readPage, 16), Each(0x22));
    bytes twoPages = send(readPage, 32);
    EXPECT_THAT(bytes(twoPages.begin(), twoPages.begin() + 16), Each(0x33));
    EXPECT_THAT(bytes(twoPages.begin() + 16, twoPages.end()), Each(0x00));
    EXPECT_EQ(info().page_address, 4U);

    send(programDone);
    EXPECT_EQ(wait_ready(), 1U);
    send(program_usercode(0xCAFEF00D));
    EXPECT_EQ(wait_ready(), 1U);
    EXPECT_THAT(send({0xC0, 0, 0, 0}, 4), ElementsAre(0xCA, 0xFE, 0xF0, 0x0D));
    EXPECT_EQ(status(), statusDone | statusConfigMode);

    send(disableCommand);
    EXPECT_FALSE(info().config_mode);
    send(refreshCommand);
    machxo_info after = info();
    EXPECT_EQ(after.refresh_count, 1U);
    EXPECT_TRUE(after.done);
    EXPECT_EQ(after.usercode, 0xCAFEF00DU);
}

TEST_F(Machxo, UserFlashEraseKeepsConfiguration)
{
    send(enableCommand);
    send({0x0E, 0x08, 0x00, 0x00});
    wait_ready();
    EXPECT_THAT(page(0), Each(0xA5));
    EXPECT_THAT(page(67), Each(0x00));
    EXPECT_TRUE(info().done);
    EXPECT_EQ(info().usercode, 0x11223344U);
}

TEST_F(Machxo, ProgrammingOnlySetsBitsUntilErased)
{
    send(enableCommand);
    send(initAddress);
    send(program_page(0x5A));
    wait_ready();
    EXPECT_THAT(page(0), Each(0xFF));
    send(program_usercode(0x00000001));
    wait_ready();
    EXPECT_EQ(info().usercode, 0x11223345U);
}

TEST_F(Machxo, BusyDeviceServesOnlyQueries)
{
    send(enableCommand);
    send(eraseConfig);
    send(write_address(5));
    EXPECT_THAT(send({0xE0, 0, 0, 0}, 4), ElementsAre(0x01, 0x2B, 0xB0, 0x43));
    EXPECT_EQ(status(), statusConfigMode | statusBusy | statusFail);
    EXPECT_EQ(wait_ready(), 2U);
    EXPECT_EQ(info().page_address, 0U);
    EXPECT_EQ(status(), statusConfigMode | statusFail);
}

TEST_F(Machxo, PageAddressBeyondFlashFails)
{
    send(enableCommand);
    send(write_address(68));
    send(program_page(0x01));
    EXPECT_TRUE(info().fail);
    send(enableCommand);
    send(write_address(67));
    send(readPage, 32);
    EXPECT_TRUE(info().fail);
    EXPECT_EQ(info().page_address, 67U);
    send(enableCommand);
    EXPECT_THAT(send(readPage, 16), Each(0xA5));
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
    EXPECT_EQ(status(), statusDone);
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
    EXPECT_EQ(status(), statusDone | statusBusy);
    board->clear_faults(3, port);
    EXPECT_FALSE(busy());

    board->set_fail(3, port, true);
    send(enableCommand);
    EXPECT_EQ(status(), statusDone | statusConfigMode | statusFail);
    board->set_fail(3, port, false);
    EXPECT_EQ(status(), statusDone | statusConfigMode);
}

TEST_F(Machxo, NackedProgramWriteLeavesAddress)
{
    send(enableCommand);
    send(eraseConfig);
    wait_ready();
    send(initAddress);
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
    send(enableCommand);
    send(eraseConfig);
    wait_ready();
    send(initAddress);
    for (unsigned i = 0; i < pages; ++i)
    {
        send(program_page(static_cast<uint8_t>(i)));
        wait_ready();
        status();
    }
    for (unsigned i = 0; i < pages; ++i)
    {
        send(write_address(static_cast<uint16_t>(i)));
        ASSERT_THAT(send(readPage, 16), Each(static_cast<uint8_t>(i)));
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
