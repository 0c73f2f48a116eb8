#include "fwkeeper/cpld/machx_cpld.hpp"

#include "fwkeeper/cpld/hex_text.hpp"
#include "fwkeeper/cpld/jed_image.hpp"
#include "platform/file_descriptor.hpp"
#include "platform/log_line.hpp"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace cpld
{

namespace
{

constexpr int busy_polls = 100;
constexpr int usercode_attempts = 30;
constexpr std::uint8_t busy_flag = 0x80;
constexpr std::uint32_t status_busy = 0x1000;
constexpr std::uint32_t status_fail = 0x2000;
constexpr int id_attempts = 3;
constexpr useconds_t id_wait_us = 500000;
constexpr std::size_t page_bytes = 16;

std::uint32_t big_endian(const std::vector<std::uint8_t>& bytes)
{
    std::uint32_t value = 0;
    for (std::uint8_t byte : bytes)
    {
        value = (value << 8) | byte;
    }
    return value;
}

std::array<std::uint8_t, 8> set_address(std::uint16_t page)
{
    std::array<std::uint8_t, 8> bytes{};
    std::copy(command::set_address.begin(), command::set_address.end(),
              bytes.begin());
    bytes[6] = static_cast<std::uint8_t>(page >> 8);
    bytes[7] = static_cast<std::uint8_t>(page);
    return bytes;
}

std::array<std::uint8_t, 4> read_page(std::uint16_t page)
{
    return {command::read_page, 0, static_cast<std::uint8_t>(page >> 8),
            static_cast<std::uint8_t>(page)};
}

// One page of the configuration flash: false, after the transfer's own
// message, when it cannot be read.
bool read_flash_page(machx_cpld& device, std::uint16_t page,
                     std::vector<std::uint8_t>& flash)
{
    return device.send_command(set_address(page)) == 0 &&
           device.i2c_transfer(read_page(page), flash, page_bytes) == 0;
}

// The end of the image's rows at `page`: every compared page was compared,
// or an empty slot (of four) ends them too early.
bool rows_ended(unsigned slot, std::uint32_t page, std::uint32_t compare_pages)
{
    if (page >= compare_pages)
    {
        return true;
    }
    if (slot < 4)
    {
        platform::log_format(stderr,
                             "flist[%d] is empty, should not happened\n",
                             static_cast<int>(slot));
    }
    return false;
}

} // namespace

machx_cpld::machx_cpld(std::string i2c_dev, std::uint8_t update_addr) :
    i2c_dev(std::move(i2c_dev)), update_addr(update_addr)
{}

int machx_cpld::i2c_transfer(std::span<const std::uint8_t> out,
                             std::vector<std::uint8_t>& in, std::size_t length)
{
    const platform::file_descriptor fd(
        open(i2c_dev.c_str(), O_RDWR | O_CLOEXEC));
    if (fd.get() < 0)
    {
        platform::log_format(stderr, "cannot open %s\n", i2c_dev.c_str());
        return -1;
    }
    std::array<i2c_msg, 2> messages{{
        {update_addr, 0, static_cast<__u16>(out.size()),
         const_cast<__u8*>(out.data())},
        {update_addr, I2C_M_RD, static_cast<__u16>(length), nullptr},
    }};
    i2c_rdwr_ioctl_data data{messages.data(), 1};
    if (length > 0)
    {
        in.assign(length, 0);
        messages[1].buf = in.data();
        data.nmsgs = 2;
    }
    if (ioctl(fd.get(), I2C_RDWR, &data) < 0)
    {
        platform::log_line(stderr, "access cpld failed.");
        return -1;
    }
    return 0;
}

int machx_cpld::send_command(std::span<const std::uint8_t> out)
{
    std::vector<std::uint8_t> none;
    return i2c_transfer(out, none, 0);
}

int machx_cpld::wait_busy(useconds_t interval,
                          std::chrono::steady_clock::time_point deadline)
{
    for (int poll = 0; poll < busy_polls; ++poll)
    {
        std::vector<std::uint8_t> flag;
        if (i2c_transfer(command::check_busy, flag, 1) != 0)
        {
            platform::log_line(stderr, "busy");
        }
        else if ((flag[0] & busy_flag) == 0)
        {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
        {
            break;
        }
        usleep(interval);
    }
    return check_status() == 0 ? 0 : -1;
}

int machx_cpld::check_status()
{
    std::vector<std::uint8_t> status;
    if (i2c_transfer(command::read_status, status, 4) != 0)
    {
        platform::log_line(stderr, "write failed");
        return 0;
    }
    return (big_endian(status) & (status_busy | status_fail)) != 0 ? 1 : 0;
}

int machx_cpld::read_usercode(std::string& text)
{
    std::vector<std::uint8_t> code;
    int rc = -1;
    for (int attempt = 0; attempt < usercode_attempts; ++attempt)
    {
        rc = i2c_transfer(command::read_usercode, code, 4);
        if (!code.empty() || attempt + 1 == usercode_attempts)
        {
            break;
        }
        sleep(1);
    }
    text.clear();
    for (std::uint8_t byte : code)
    {
        text += hex_byte(byte);
    }
    return rc;
}

const machxo_part* machx_cpld::check_device_id(const jed_image& image)
{
    const machxo_part* part = find_machxo_part(image.device_name);
    if (part != nullptr)
    {
        platform::log_format(
            stderr, "i=%d, id_from_jed=0x%08x, ufm_section_position=0x%08x\n",
            static_cast<int>(part - machxo_parts.data()), part->id_code,
            part->page_limit);
    }
    for (int attempt = 0; attempt < id_attempts; ++attempt)
    {
        // A failed read is a mismatch: its bytes were never read.
        std::vector<std::uint8_t> reply;
        if (i2c_transfer(command::read_id, reply, 4) == 0)
        {
            wait_busy(id_wait_us);
            std::uint32_t id = big_endian(reply);
            platform::log_format(stderr, "id_from_fw=0x%08x\n", id);
            // A name outside the table matches no device.
            if (part != nullptr && id == part->id_code)
            {
                return part;
            }
        }
        platform::log_line(stderr, "device names are different");
    }
    return nullptr;
}

bool is_same_image(machx_cpld& device, const jed_image& image,
                   const machxo_part& part, const page_progress& on_page)
{
    const std::uint32_t compare_pages =
        plan_pages(image, part.page_limit).compare_pages;
    // Past the compared pages of a part with a page limit, the next page
    // is read but not compared.
    const bool reads_limit = part.page_limit != no_ufm_boundary;
    page_cursor rows;
    for (std::uint32_t page = 0;; ++page)
    {
        if (page == compare_pages && !reads_limit)
        {
            return true;
        }
        const page_cursor at = rows;
        std::vector<std::uint8_t> expected;
        if (!rows.next(image, expected))
        {
            return rows_ended(at.slot, page, compare_pages);
        }
        const auto current = static_cast<std::uint16_t>(page);
        std::vector<std::uint8_t> flash;
        if (!read_flash_page(device, current, flash))
        {
            platform::log_format(
                stderr,
                "read_bypte_from_page failed, i=%d, page-1=0x%hx, pos=%d\n",
                static_cast<int>(at.slot), current, at.pos);
            return false;
        }
        if (page >= compare_pages)
        {
            return true;
        }
        if (flash != expected)
        {
            return false;
        }
        if (on_page)
        {
            on_page(page + 1, compare_pages);
        }
    }
}

} // namespace cpld
