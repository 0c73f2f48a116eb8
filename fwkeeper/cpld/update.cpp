#include "fwkeeper/cpld/update.hpp"

#include "fwkeeper/cpld/hex_text.hpp"
#include "fwkeeper/cpld/repository.hpp"
#include "platform/log_line.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace cpld
{

namespace
{

constexpr std::string_view main_board_cpld = "MBCPLD";
constexpr const char* main_board_image = "/tmp/cpld/images/cpld_image.bin";
constexpr const char* backplane_image =
    "/tmp/bpncpld/images/bpn_cpld_image.bin";

// Busy polling intervals: long operations (enable, erase, the final wait)
// and short ones (a page, the done flag, the usercode).
constexpr useconds_t long_wait_us = 500000;
constexpr useconds_t short_wait_us = 20000;
// How long the device may stay busy or failed after the final no-operation
// command before the update counts as not completed.
constexpr std::chrono::seconds ready_timeout{60};
constexpr unsigned reload_delay_s = 3;
constexpr useconds_t refresh_delay_us = 10000;

// On this board the SPI controller is detached from its driver before the
// main-board CPLD reloads.
constexpr std::string_view spi_unbind_board = "0x1B6A";
constexpr const char* spi_unbind_command =
    "echo -n 1e620000.spi > /sys/bus/platform/drivers/aspeed-smc/unbind";

// A shell command whose outcome the update does not depend on.
void run_shell(const char* command)
{
    [[maybe_unused]] const int status = std::system(command);
}

bool is_hex(std::string_view digits)
{
    return !digits.empty() && std::ranges::all_of(digits, [](unsigned char c) {
        return std::isxdigit(c) != 0;
    });
}

// The progress an attempt has made when each step ends; the page loops of
// the comparisons and the programming spread over the spans between.
namespace percent
{
constexpr unsigned checked = 3;
constexpr unsigned enabled = 5;
constexpr unsigned compared = 10;
constexpr unsigned erased = 15;
constexpr unsigned programmed = 60;
constexpr unsigned verified = 95;
constexpr unsigned done = 96;
constexpr unsigned usercode_set = 97;
constexpr unsigned usercode_verified = 98;
constexpr unsigned finished = 100;
} // namespace percent

// Reports an attempt's progress: points as steps end, and spans that the
// page loops pass through page by page. Each percent is reported once.
class progress_meter
{
  public:
    explicit progress_meter(const progress_fn& report) : report(report) {}

    void reach(unsigned value)
    {
        if (value > last && report)
        {
            last = static_cast<std::uint8_t>(value);
            report(last);
        }
    }

    // Pages done of a total, spread over the percents from `from` to `to`.
    page_progress span(unsigned from, unsigned to)
    {
        return [this, from, to](std::uint32_t done, std::uint32_t total) {
            reach(static_cast<unsigned>(
                from +
                (to - from) * std::uint64_t{done} / std::max(total, 1U)));
        };
    }

  private:
    const progress_fn& report;
    std::uint8_t last = 0;
};

// The part of the device the image was built for; nullptr when the image
// cannot be used on the device.
const machxo_part* image_checked(machx_cpld& device, const std::string& path,
                                 jed_image& image)
{
    platform::log_line(stdout, "Step 0: open uploaded image.");
    if (parse_jed(image, path) != 0)
    {
        return nullptr;
    }
    if (std::string why; !image_usable(image, why))
    {
        platform::log_line(stderr, why);
        return nullptr;
    }
    platform::log_line(stdout, "Step 0.5: check if the device id are matched.");
    const machxo_part* part = device.check_device_id(image);
    if (part == nullptr)
    {
        platform::log_line(stderr, "The fw and the device name are different,"
                                   " should not programming.");
    }
    return part;
}

bool erased(machx_cpld& device)
{
    platform::log_line(stdout, "Step 4: earse cfg.");
    if (device.send_command(command::erase_config) != 0 ||
        device.wait_busy(long_wait_us) != 0 ||
        device.send_command(command::reset_address) != 0)
    {
        platform::log_line(stderr, "earse nvcm0/cfg failed.");
        return false;
    }
    return true;
}

// Programs the configuration rows through the last one with data, one
// page per transaction, from the flash address the erase step reset.
bool programmed(machx_cpld& device, const jed_image& image,
                const machxo_part& part, const page_progress& on_page)
{
    platform::log_line(stdout, "Step 5: updating....");
    const std::uint32_t pages =
        plan_pages(image, part.page_limit).program_pages;
    page_cursor rows;
    std::vector<std::uint8_t> frame;
    for (std::uint32_t page = 0; page < pages; ++page)
    {
        frame.assign(command::program_page.begin(),
                     command::program_page.end());
        rows.next(image, frame);
        if (device.send_command(frame) != 0 ||
            device.wait_busy(short_wait_us) != 0)
        {
            platform::log_line(stderr, "write failed");
            platform::log_line(stderr, "program data failed.");
            return false;
        }
        on_page(page + 1, pages);
    }
    return true;
}

bool done_flag_set(machx_cpld& device)
{
    platform::log_line(stdout, "Step 7: mark update done.");
    return device.send_command(command::program_done) == 0 &&
           device.wait_busy(short_wait_us) == 0;
}

bool usercode_set(machx_cpld& device, const jed_image& image)
{
    platform::log_line(stdout, "Step 8: set usercode.");
    auto frame = usercode_command(image);
    if (!frame || device.send_command(*frame) != 0)
    {
        return false;
    }
    if (device.wait_busy(short_wait_us) != 0)
    {
        platform::log_line(stderr, "wait not ok");
        return false;
    }
    return true;
}

// Compares the device's usercode with the image's; on a match `verified`
// holds it in upper case. A read the device did not answer never matches.
bool usercode_verified(machx_cpld& device, const jed_image& image,
                       std::string& verified)
{
    platform::log_line(stdout, "Step 9: verify usercode.");
    std::string digits;
    std::string text;
    image.get_usercode(digits);
    bool answered = device.read_usercode(text) == 0;
    if (!answered || upper(digits) != upper(text))
    {
        platform::log_line(stderr,
                           "Get usercode: " + digits + " from jed file");
        platform::log_line(stderr, "Get usercode: " + text + " from fw");
        platform::log_line(stderr, "verify usercode failed.");
        return false;
    }
    verified = upper(text);
    return true;
}

// The steps up to the usercode check; the first failure ends them.
update_result run_steps(machx_cpld& device, const std::string& device_name,
                        std::string& verified, progress_meter& meter)
{
    const std::string path = image_path(device_name);
    jed_image image;
    const machxo_part* part = image_checked(device, path, image);
    if (part == nullptr)
    {
        return update_result::invalid_image;
    }
    meter.reach(percent::checked);
    platform::log_line(stdout, "Step 1: enable configuration.");
    if (device.send_command(command::enable_config) != 0)
    {
        return update_result::enable_failed;
    }
    device.wait_busy(long_wait_us);
    meter.reach(percent::enabled);
    platform::log_line(stdout, "Step 3: check if the image is the same.");
    if (is_same_image(device, image, *part,
                      meter.span(percent::enabled, percent::compared)))
    {
        platform::log_line(stderr,
                           "The fw is the same but we return it as success.");
        return update_result::same_image;
    }
    if (!erased(device))
    {
        return update_result::erase_failed;
    }
    meter.reach(percent::erased);
    if (!programmed(device, image, *part,
                    meter.span(percent::erased, percent::programmed)))
    {
        return update_result::program_failed;
    }
    platform::log_line(stdout, "Step 6: check if it updates correctly.");
    if (!is_same_image(device, image, *part,
                       meter.span(percent::programmed, percent::verified)))
    {
        return update_result::verify_failed;
    }
    if (!done_flag_set(device))
    {
        return update_result::done_failed;
    }
    meter.reach(percent::done);
    if (!usercode_set(device, image))
    {
        return update_result::usercode_failed;
    }
    meter.reach(percent::usercode_set);
    if (!usercode_verified(device, image, verified))
    {
        return update_result::usercode_differs;
    }
    meter.reach(percent::usercode_verified);
    return update_result::success;
}

// After the no-operation command the device finishes its internal work.
// A device that stays busy or failed for ready_timeout has not taken the
// new image cleanly. The busy polls themselves stop at the deadline too, so
// a device that reports busy throughout is given up on after ready_timeout
// and at most one poll interval, not after whole rounds of 100 polls.
bool ready_after_update(machx_cpld& device)
{
    platform::log_line(stderr, "busy loop until cpld status ok");
    const auto deadline = std::chrono::steady_clock::now() + ready_timeout;
    while (device.wait_busy(long_wait_us, deadline) != 0)
    {
        if (std::chrono::steady_clock::now() >= deadline)
        {
            platform::log_line(
                stderr, "cpld status still busy or failed after the update,"
                        " update not completed.");
            return false;
        }
        usleep(long_wait_us);
    }
    platform::log_line(stderr, "status ok... sync nv...");
    run_shell("sync");
    return true;
}

bool board_detaches_spi()
{
    const std::optional<std::string> line = product_id_line(product_id_path);
    return line && line->substr(0, spi_unbind_board.size()) == spi_unbind_board;
}

void reload_configuration(machx_cpld& device, const std::string& device_name)
{
    sleep(reload_delay_s);
    if (device_name == main_board_cpld && board_detaches_spi())
    {
        run_shell(spi_unbind_command);
    }
    usleep(refresh_delay_us);
    platform::log_line(stdout, "refresh, Force the MachX to reconfigure.");
    device.send_command(command::refresh);
}

} // namespace

std::string_view status_text(update_result result)
{
    switch (result)
    {
        case update_result::success:
            return "Update Complete";
        case update_result::same_image:
            return "The Same CPLD Version, Bypass Update";
        case update_result::enable_failed:
            return "Enable Configuration Error";
        case update_result::invalid_image:
            return "Invalid Upload CPLD Firmware Error";
        case update_result::erase_failed:
            return "Erase Configuration Error";
        case update_result::program_failed:
            return "Program Firmware Error";
        case update_result::verify_failed:
            return "Verify Firmware Error";
        case update_result::done_failed:
            return "Set Program Done Error";
        case update_result::usercode_failed:
            return "Set Usercode Error";
        case update_result::usercode_differs:
            return "Verify Usercode Error";
    }
    return "None";
}

std::string image_path(std::string_view device_name)
{
    return device_name == main_board_cpld ? main_board_image : backplane_image;
}

std::optional<std::vector<std::uint8_t>> usercode_command(
    const jed_image& image)
{
    std::string digits;
    if (image.get_usercode(digits) != 0 || !is_hex(digits))
    {
        return std::nullopt;
    }
    std::vector<std::uint8_t> frame(command::program_usercode.begin(),
                                    command::program_usercode.end());
    for (std::uint8_t byte : usercode_bytes(digits))
    {
        frame.push_back(byte);
    }
    return frame;
}

update_result leave_configuration(machx_cpld& device, update_result result)
{
    platform::log_line(stdout, "disable configuration.");
    device.send_command(command::disable_config);
    if (result == update_result::success &&
        device.send_command(command::noop) == 0 && !ready_after_update(device))
    {
        return update_result::verify_failed;
    }
    return result;
}

void update_cpld(machx_cpld& device, const std::string& device_name,
                 const release_fn& release, const progress_fn& progress)
{
    progress_meter meter(progress);
    update_report report{};
    report.result = run_steps(device, device_name, report.usercode, meter);
    if (report.result != update_result::invalid_image)
    {
        report.result = leave_configuration(device, report.result);
    }
    if (report.result != update_result::success)
    {
        report.usercode.clear();
    }
    if (report.result == update_result::success ||
        report.result == update_result::same_image)
    {
        meter.reach(percent::finished);
    }
    release(report);
    if (report.result == update_result::success)
    {
        reload_configuration(device, device_name);
    }
}

} // namespace cpld
