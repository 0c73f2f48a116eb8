#pragma once

#include "dbus/connection.hpp"

#include <boost/system/error_code.hpp>

#include <cstdint>
#include <functional>
#include <string>

namespace fwkeeper
{

// A property of another service, reached through its Properties interface.
struct remote_property
{
    const char* service;
    const char* path;
    const char* interface;
    const char* name;
};

namespace chassis_property
{
inline constexpr const char* service = "xyz.openbmc_project.State.Chassis";
inline constexpr const char* path = "/xyz/openbmc_project/state/chassis0";
inline constexpr remote_property requested_transition{
    service, path, service, "RequestedPowerTransition"};
inline constexpr remote_property power_state{service, path, service,
                                             "CurrentPowerState"};
} // namespace chassis_property

// The board-wide update ownership.
namespace board_property
{
inline constexpr const char* service =
    "xyz.openbmc_project.TARNproperties.Manager";
inline constexpr const char* path = "/xyz/openbmc_project/TARNproperties/mgr";
inline constexpr remote_property updating_owner{service, path, service,
                                                "UpdatingOwner"};
inline constexpr remote_property updating_state{service, path, service,
                                                "UpdatingState"};
} // namespace board_property

// Revision bytes of the CPLD chip information service.
inline remote_property chip_information(const char* name)
{
    return {"xyz.openbmc_project.TARN.CPLD.Control",
            "/xyz/openbmc_project/cpld/chip/information",
            "xyz.openbmc_project.Chip.Information", name};
}

// Blocking calls; they throw dbus::error when the call fails. A value of
// another type than the one asked for reads as empty text or 0.
void set_string(dbus::connection& conn, const remote_property& prop,
                const std::string& value);
std::string get_string(dbus::connection& conn, const remote_property& prop);
std::uint8_t get_byte(dbus::connection& conn, const remote_property& prop);

using string_handler =
    std::function<void(boost::system::error_code, const std::string&)>;
using done_handler = std::function<void(boost::system::error_code)>;

// Asynchronous calls; the handler runs from the event loop with the
// outcome (also when the call could not be sent at all).
void async_get_string(dbus::connection& conn, const remote_property& prop,
                      string_handler handler);
void async_set_string(dbus::connection& conn, const remote_property& prop,
                      const std::string& value, done_handler handler);

} // namespace fwkeeper
