#pragma once

#include "dbus/properties.hpp"

#include <string>

// The properties of other services that fwkeeper reads and writes.
namespace fwkeeper
{

namespace chassis_property
{
inline constexpr const char* service = "xyz.openbmc_project.State.Chassis";
inline constexpr const char* path = "/xyz/openbmc_project/state/chassis0";
inline const dbus::remote_property requested_transition{
    service, path, service, "RequestedPowerTransition"};
inline const dbus::remote_property power_state{service, path, service,
                                               "CurrentPowerState"};
} // namespace chassis_property

// The board-wide update ownership.
namespace board_property
{
inline constexpr const char* service =
    "xyz.openbmc_project.TARNproperties.Manager";
inline constexpr const char* path = "/xyz/openbmc_project/TARNproperties/mgr";
inline const dbus::remote_property updating_owner{service, path, service,
                                                  "UpdatingOwner"};
inline const dbus::remote_property updating_state{service, path, service,
                                                  "UpdatingState"};
} // namespace board_property

// Revision bytes of the CPLD chip information service.
inline dbus::remote_property chip_information(const char* name)
{
    return {"xyz.openbmc_project.TARN.CPLD.Control",
            "/xyz/openbmc_project/cpld/chip/information",
            "xyz.openbmc_project.Chip.Information", name};
}

} // namespace fwkeeper
