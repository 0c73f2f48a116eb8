// The "Update" method: host power off, the board-wide update ownership
// (query, claim, confirmation), the update itself and the release.
#include "fwkeeper/manager/machx_cpld_manager.hpp"
#include "fwkeeper/manager/remote_properties.hpp"
#include "fwkeeper/manager/request_step.hpp"
#include "platform/chassis_state.hpp"
#include "platform/log_line.hpp"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdio>
#include <exception>

namespace fwkeeper
{

namespace
{

constexpr int power_off_tries = 16;
constexpr unsigned power_off_poll_s = 1;
constexpr const char* nobody = "NONE";

// A failed write whose failure is only reported.
std::function<void(boost::system::error_code)> report_failure(std::string line)
{
    return [line = std::move(line)](boost::system::error_code ec) {
        if (ec)
        {
            platform::log_line(stderr, line);
        }
    };
}

} // namespace

void machx_cpld_manager::request_update(std::size_t index)
{
    // A failed power-off request is the method's error reply.
    dbus::set_property(
        *conn, chassis_property::requested_transition,
        chassis::convertTransitionToString(chassis::Transition::Off));
    if (!host_powered_off())
    {
        return;
    }
    if (request_in_flight)
    {
        platform::log_line(stderr,
                           "There's other's updating: " +
                               records[request_in_flight->index].device_name);
        return;
    }
    request_in_flight = update_request{index};
    request_step step([this] { end_request(); });
    dbus::async_get_property<std::string>(
        *conn, board_property::updating_owner,
        [this, index](boost::system::error_code ec, const std::string& owner) {
            on_owner(index, ec, owner);
        });
    step.hand_on();
}

bool machx_cpld_manager::host_powered_off()
{
    const std::string off =
        chassis::convertPowerStateToString(chassis::PowerState::Off);
    for (int attempt = 0; attempt < power_off_tries; ++attempt)
    {
        try
        {
            if (dbus::get_property<std::string>(
                    *conn, chassis_property::power_state) == off)
            {
                return true;
            }
        }
        catch (const dbus::error& e)
        {
            platform::log_line(stdout,
                               std::string("Cannot get power status (") +
                                   e.what() + ")");
            return false;
        }
        sleep(power_off_poll_s);
    }
    platform::log_line(stdout, "Cannot power off");
    return false;
}

void machx_cpld_manager::on_owner(
    std::size_t index, boost::system::error_code ec, const std::string& owner)
{
    request_step step([this] { end_request(); });
    if (ec)
    {
        platform::log_line(stderr,
                           "cannot get updating owner (" + ec.message() + ")");
        return;
    }
    if (owner != nobody)
    {
        platform::log_line(stderr, "There's other's updating: " + owner);
        return;
    }
    // Both writes of the claim go out back to back; only the owner write
    // leads on.
    dbus::async_set_property(*conn, board_property::updating_state,
                             std::string("NA"),
                             report_failure("cannot set to NONE"));
    dbus::async_set_property(
        *conn, board_property::updating_owner, records[index].device_name,
        [this, index](boost::system::error_code ec) { on_claim(index, ec); });
    step.hand_on();
}

void machx_cpld_manager::on_claim(std::size_t index,
                                  boost::system::error_code ec)
{
    request_step step([this] { end_request(); });
    if (ec)
    {
        platform::log_line(stderr, "cannot set updating owner to " +
                                       records[index].device_name + " (" +
                                       ec.message() + ")");
        return;
    }
    dbus::async_get_property<std::string>(
        *conn, board_property::updating_owner,
        [this, index](boost::system::error_code ec, const std::string& owner) {
            on_confirmation(index, ec, owner);
        });
    step.hand_on();
}

void machx_cpld_manager::on_confirmation(
    std::size_t index, boost::system::error_code ec, const std::string& owner)
{
    request_step step([this] { end_request(); });
    if (ec)
    {
        // The claim may have landed; it stays, as another party's would.
        platform::log_line(stderr, "cannot get updating owner after setting");
        return;
    }
    if (owner != records[index].device_name)
    {
        platform::log_line(
            stderr, "Since that i don't get the permission. owner: " + owner);
        return;
    }
    request_in_flight->holds_board = true;
    software[index].update_started(*software_server);
    cpld::update_cpld(
        *devices[index], records[index].device_name,
        [this, index](const cpld::update_report& report) {
            release(index, report);
        },
        [this, index](std::uint8_t percent) {
            software[index].set_progress(percent);
        });
}

void machx_cpld_manager::release(std::size_t index,
                                 const cpld::update_report& report)
{
    const bool completed = report.result == cpld::update_result::success;
    const std::string status(cpld::status_text(report.result));
    platform::log_line(stdout, "set update status to " + status);
    dbus::dbus_interface& iface = *interfaces[index];
    // The new version is in place before the status tells about it.
    if (completed)
    {
        iface.set_property("Version", report.usercode);
        software[index].set_version(report.usercode);
    }
    iface.set_property("UpdasteStatus", status);
    give_back_board(completed ||
                        report.result == cpld::update_result::same_image,
                    completed);
}

void machx_cpld_manager::give_back_board(bool active, bool completed)
{
    dbus::async_set_property(*conn, board_property::updating_state,
                             std::string(completed ? "OK" : "FAIL"),
                             report_failure("cannot set to update status"));
    dbus::async_set_property(*conn, board_property::updating_owner,
                             std::string(nobody),
                             report_failure("cannot set to NONE"));
    request_in_flight->holds_board = false;
    software[request_in_flight->index].update_ended(*software_server, active);
}

std::optional<std::size_t> machx_cpld_manager::free_stale_claim()
{
    std::string owner;
    try
    {
        owner = dbus::get_property<std::string>(*conn,
                                                board_property::updating_owner);
    }
    catch (const dbus::error& e)
    {
        platform::log_line(
            stderr, std::string("cannot read UpdatingOwner at start-up (") +
                        e.what() + ")");
        return std::nullopt;
    }
    for (std::size_t index = 0; index < records.size(); ++index)
    {
        if (records[index].device_name != owner)
        {
            continue;
        }
        platform::log_line(
            stderr, "UpdatingOwner still names " + owner +
                        ", whose update never finished: board given back");
        try
        {
            dbus::set_property(*conn, board_property::updating_state,
                               std::string("FAIL"));
            dbus::set_property(*conn, board_property::updating_owner,
                               std::string(nobody));
        }
        catch (const dbus::error& e)
        {
            platform::log_format(stderr, "cannot give the board back: %s\n",
                                 e.what());
        }
        return index;
    }
    return std::nullopt;
}

void machx_cpld_manager::end_request() noexcept
{
    if (request_in_flight && request_in_flight->holds_board)
    {
        // The step ended without its release, most likely while an
        // exception unwinds that may end the daemon: the writes go out on
        // the bus before the exception goes on.
        try
        {
            platform::log_line(
                stderr,
                "update of " + records[request_in_flight->index].device_name +
                    " ended without its release, board given back");
            give_back_board(false, false);
            sd_bus_flush(conn->get_bus());
        }
        catch (const std::exception& e)
        {
            platform::log_format(stderr, "cannot give the board back: %s\n",
                                 e.what());
        }
    }
    request_in_flight.reset();
}

} // namespace fwkeeper
