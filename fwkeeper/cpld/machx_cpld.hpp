#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace cpld
{

struct jed_image;
struct machxo_part;

// MachXO sysCONFIG commands sent over the configuration port. Commands that
// carry data (program a page, set the flash address, program the usercode,
// read a page) start with these bytes.
namespace command
{
using bytes = std::array<std::uint8_t, 4>;
inline constexpr bytes read_id{0xE0, 0x00, 0x00, 0x00};
inline constexpr bytes read_usercode{0xC0, 0x00, 0x00, 0x00};
inline constexpr bytes check_busy{0xF0, 0x00, 0x00, 0x00};
inline constexpr bytes read_status{0x3C, 0x00, 0x00, 0x00};
inline constexpr bytes enable_config{0x74, 0x08, 0x00, 0x00};
inline constexpr bytes erase_config{0x0E, 0x04, 0x00, 0x00};
inline constexpr bytes reset_address{0x46, 0x00, 0x00, 0x00};
inline constexpr bytes program_page{0x70, 0x00, 0x00, 0x01};
inline constexpr bytes set_address{0xB4, 0x00, 0x00, 0x00};
inline constexpr bytes program_done{0x5E, 0x00, 0x00, 0x00};
inline constexpr bytes program_usercode{0xC2, 0x00, 0x00, 0x00};
inline constexpr bytes noop{0xFF, 0xFF, 0xFF, 0xFF};
inline constexpr std::array<std::uint8_t, 3> disable_config{0x26, 0x00, 0x00};
inline constexpr std::array<std::uint8_t, 3> refresh{0x79, 0x00, 0x00};
inline constexpr std::uint8_t read_page = 0x73; // then 00, page high, low
} // namespace command

// Driver of one Lattice MachXO2/MachXO3 CPLD on its I2C configuration port.
// Every transaction opens the i2c-dev node, issues one I2C_RDWR ioctl and
// closes the node again. Messages go to standard error.
class machx_cpld
{
  public:
    machx_cpld(std::string i2c_dev, std::uint8_t update_addr);

    // Writes `out`, then reads `length` bytes into `in` (resized to exactly
    // `length`, zero-filled) in one combined transaction; no read message
    // when `length` is 0. 0 on success, -1 on failure; `in` is left
    // untouched when the node cannot be opened.
    int i2c_transfer(std::span<const std::uint8_t> out,
                     std::vector<std::uint8_t>& in, std::size_t length);

    int send_command(std::span<const std::uint8_t> out);

    // Polls the busy flag up to 100 times, `interval` µs apart, and not
    // past `deadline`, then checks the status: 0 ready and neither busy nor
    // failed, -1 otherwise.
    int wait_busy(useconds_t interval,
                  std::chrono::steady_clock::time_point deadline =
                      std::chrono::steady_clock::time_point::max());

    // 1 when the status register shows busy or fail, 0 otherwise (also when
    // it cannot be read).
    int check_status();

    // The usercode as eight lower-case hexadecimal digits; empty when the
    // node could not be opened in 30 attempts, one second apart. Returns 0
    // when the device answered, -1 otherwise (the text is then empty, or
    // zeros from an unanswered read, and must not be trusted).
    int read_usercode(std::string& text);

    // The part the parsed image names when the device's ID code is that
    // part's; nullptr otherwise. Reads no file: the name comes from the
    // parsed text.
    const machxo_part* check_device_id(const jed_image& image);

    const std::string i2c_dev;
    const std::uint8_t update_addr;
};

// True when the device's configuration flash holds the image's pages
// that an update of `part` compares (plan_pages); for a part with a page
// limit the page at the limit is read too, not compared, when the image has
// a row there. The device must be in configuration mode.
bool is_same_image(
    machx_cpld& device, const jed_image& image, const machxo_part& part,
    const std::function<void(std::uint32_t, std::uint32_t)>& on_page = {});

} // namespace cpld
