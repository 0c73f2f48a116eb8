#pragma once

#include "fwkeeper/cpld/jed_image.hpp"
#include "fwkeeper/cpld/machx_cpld.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cpld
{

// How an update attempt ended; each outcome has its status text.
enum class update_result
{
    success,
    same_image,
    enable_failed,
    invalid_image,
    erase_failed,
    program_failed,
    verify_failed,
    done_failed,
    usercode_failed,
    usercode_differs,
};

// The status text of an outcome, as published in "UpdasteStatus".
std::string_view status_text(update_result result);

// The uploaded JEDEC image of a device: the main-board CPLD has its own, all
// backplane CPLDs share one.
std::string image_path(std::string_view device_name);

// The program-usercode command with the image's usercode bytes; nothing
// when the "U" field does not hold hexadecimal digits.
std::optional<std::vector<std::uint8_t>> usercode_command(
    const jed_image& image);

// What the release step learns from an update attempt.
struct update_report
{
    update_result result;
    // The device's usercode as verified after programming, upper case;
    // empty unless the update completed.
    std::string usercode;
};

using release_fn = std::function<void(const update_report&)>;

// How far an attempt is, in percent: reported as it rises, each value once.
using progress_fn = std::function<void(std::uint8_t)>;

// Ends an attempt that reached the device: leaves configuration mode and,
// after a successful attempt, waits for the device to settle. A device that
// stays busy or failed for a minute (the wait ends then, within one poll
// interval of half a second) turns success into verify_failed. Returns the
// attempt's final result.
update_result leave_configuration(machx_cpld& device, update_result result);

// Updates one CPLD from its uploaded image: checks the image against the
// device, erases, programs, verifies, sets the done flag and the usercode,
// leaves configuration mode, then hands the outcome to `release` (which
// publishes it and gives the update ownership back). A completed update
// ends with the device reloading its configuration. `progress` follows the
// steps and the pages programmed and compared; it reaches 100 before the
// release of an attempt that completed or found the image in place.
void update_cpld(machx_cpld& device, const std::string& device_name,
                 const release_fn& release, const progress_fn& progress);

} // namespace cpld
