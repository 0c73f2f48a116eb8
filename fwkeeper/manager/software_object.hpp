#pragma once

#include "dbus/connection.hpp"
#include "dbus/dbus_interface.hpp"
#include "dbus/object_server.hpp"

#include <cstdint>
#include <memory>
#include <string>

namespace fwkeeper
{

// Where OpenBMC looks for firmware: an object manager announces the
// interfaces that come and go there during updates.
inline constexpr const char* software_root = "/xyz/openbmc_project/software";

// OpenBMC's software interfaces of one CPLD object, beside its own: the
// version that Redfish lists, the activation state and, while an update
// holds the board, the marker that holds off reboots and host power-on
// and the progress, which stays after the update until the next one.
// Changes during an update are sent at once: the update keeps the loop
// busy until it ends.
class software_object
{
  public:
    // Publishes the version and activation interfaces through `server`;
    // "Failed" for a device whose last update never finished.
    software_object(dbus::object_server& server,
                    std::shared_ptr<dbus::connection> conn,
                    const std::string& path, const std::string& version,
                    bool failed);

    void set_version(const std::string& version);
    // The update holds the board: the marker appears, "Activating", the
    // progress from 0.
    void update_started(dbus::object_server& server);
    void set_progress(std::uint8_t percent);
    // The board is released: "Active" or "Failed", the marker goes.
    void update_ended(dbus::object_server& server, bool active);

  private:
    std::shared_ptr<dbus::connection> conn;
    std::string path;
    std::shared_ptr<dbus::dbus_interface> version;
    std::shared_ptr<dbus::dbus_interface> activation;
    std::shared_ptr<dbus::dbus_interface> progress;
    std::shared_ptr<dbus::dbus_interface> marker;
};

} // namespace fwkeeper
