#pragma once

#include "dbus/dbus_interface.hpp"

#include <memory>
#include <string>

/** Ties the sensor to the inventory item that configured it: "Associations"
 *  = [("chassis", "all_sensors", parent of configPath)], then initializes
 *  the interface. Does nothing for an empty handle. */
void publishAssociation(const std::shared_ptr<dbus::dbus_interface>& iface,
                        const std::string& configPath);
