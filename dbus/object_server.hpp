#pragma once

#include "dbus/connection.hpp"
#include "dbus/dbus_interface.hpp"

#include <systemd/sd-bus.h>

#include <memory>
#include <string>
#include <vector>

namespace dbus
{

/** Owner of a connection's interfaces; keeps an object manager at
 *  `manager_path` for its lifetime so interfaces below it are announced
 *  with InterfacesAdded and InterfacesRemoved (from the nearest object
 *  manager above them). */
class object_server
{
  public:
    explicit object_server(std::shared_ptr<connection> conn,
                           const std::string& manager_path = "/");
    object_server(const object_server&) = delete;
    object_server& operator=(const object_server&) = delete;
    ~object_server();

    /** A new interface, held by the server until remove_interface(); call
     *  initialize() on it once its members are registered. */
    std::shared_ptr<dbus_interface> add_interface(const std::string& path,
                                                  const std::string& name);
    /** Drops the server's reference: the interface leaves the bus when the
     *  last reference goes. False if the server does not hold it. */
    bool remove_interface(const std::shared_ptr<dbus_interface>& iface);

  private:
    std::shared_ptr<connection> conn_;
    sd_bus_slot* manager_slot_ = nullptr;
    std::vector<std::shared_ptr<dbus_interface>> interfaces_;
};

} // namespace dbus
