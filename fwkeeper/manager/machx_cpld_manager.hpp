#pragma once

#include "dbus/connection.hpp"
#include "dbus/dbus_interface.hpp"
#include "dbus/object_server.hpp"
#include "fwkeeper/cpld/cpld_dev_info.hpp"
#include "fwkeeper/cpld/machx_cpld.hpp"
#include "fwkeeper/cpld/update.hpp"
#include "fwkeeper/manager/software_object.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fwkeeper
{

// Bus name of the daemon, also the interface of every CPLD object.
inline constexpr const char* manager_service =
    "xyz.openbmc_project.Software.CPLD.Mgr";

// The D-Bus face of the CPLDs: one object per device with its "Version"
// and, where the board's capability word allows updating it,
// "UpdasteStatus" and the "Update" method; beside them OpenBMC's software
// interfaces. Owns the event loop and the bus connection; everything after
// construction runs in callbacks of the loop.
class machx_cpld_manager
{
  public:
    // Publishes one object per record, in order. Throws std::runtime_error
    // for more than 3 records or a device name outside the known CPLDs, and
    // dbus::error when the bus name is refused.
    explicit machx_cpld_manager(std::vector<cpld::cpld_dev_info> records);
    machx_cpld_manager(const machx_cpld_manager&) = delete;
    machx_cpld_manager& operator=(const machx_cpld_manager&) = delete;

    // Runs the event loop until it has no work left.
    void run();

  private:
    void add_device(dbus::object_server& server, std::size_t index,
                    bool failed);
    // The device whose claim an earlier process of this daemon left on the
    // board (none can run beside this one, which owns the bus name): the
    // board is given back as failed. Nothing for any other owner.
    std::optional<std::size_t> free_stale_claim();
    std::string read_version(cpld::machx_cpld& device);

    // The update request of device `index`, step by step: power off, owner
    // query, claim, confirmation, update, release.
    void request_update(std::size_t index);
    bool host_powered_off();
    void on_owner(std::size_t index, boost::system::error_code ec,
                  const std::string& owner);
    void on_claim(std::size_t index, boost::system::error_code ec);
    void on_confirmation(std::size_t index, boost::system::error_code ec,
                         const std::string& owner);
    void release(std::size_t index, const cpld::update_report& report);
    // Sends the release writes: "UpdatingState" "OK" or "FAIL", then
    // "UpdatingOwner" "NONE"; the request no longer holds the board. Its
    // update ends "Active" or "Failed".
    void give_back_board(bool active, bool completed);
    // The request is over: no longer in flight, and a board it still holds
    // (a step that ended before the release, e.g. by an exception) is given
    // back as failed. Runs from the request's step guards.
    void end_request() noexcept;

    boost::asio::io_context io;
    std::shared_ptr<dbus::connection> conn;
    std::vector<std::shared_ptr<dbus::dbus_interface>> interfaces;
    std::vector<std::shared_ptr<cpld::machx_cpld>> devices;
    std::vector<cpld::cpld_dev_info> records;
    unsigned long long capability_flags = 0;
    std::vector<software_object> software; // one per device
    // Announces the interfaces an update adds and removes.
    std::unique_ptr<dbus::object_server> software_server;
    // The request between its owner query and its end. The ownership check
    // is a read, then a write: a second request must not start from an
    // owner read that the first one's claim has not reached.
    struct update_request
    {
        std::size_t index; // the device
        // Its claim was read back and the release not yet sent: its update
        // runs.
        bool holds_board = false;
    };
    std::optional<update_request> request_in_flight;
};

} // namespace fwkeeper
