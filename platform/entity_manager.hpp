#pragma once

#include "dbus/connection.hpp"
#include "dbus/message.hpp"

#include <boost/container/flat_map.hpp>
#include <boost/system/error_code.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

// EntityManager's configuration records and the calls made to it. Every
// call is asynchronous on the caller's event loop; failures, an absent
// service included, come back through the handler's error code.
namespace entity_manager
{

/** A configuration value. A value of any other D-Bus type reads as an
 *  empty list of text (the first alternative). */
using config_value =
    std::variant<std::vector<std::string>, std::string, int64_t, uint64_t,
                 double, int32_t, uint32_t, int16_t, uint16_t, uint8_t, bool>;
using config_properties = boost::container::flat_map<std::string, config_value>;
using config_interfaces =
    boost::container::flat_map<std::string, config_properties>;
/** Configuration objects in reply order. */
using managed_objects =
    std::vector<std::pair<dbus::object_path, config_interfaces>>;

inline constexpr const char* service = "xyz.openbmc_project.EntityManager";

/** GetManagedObjects at "/". */
void get_managed_objects(
    dbus::connection& conn,
    std::function<void(boost::system::error_code, managed_objects)> handler);

/** Properties GetAll of one record (e.g. a threshold interface) of the
 *  configuration object at `path`. */
void get_record(
    dbus::connection& conn, const std::string& path,
    const std::string& interface,
    std::function<void(boost::system::error_code, config_properties)> handler);

/** Properties Set of a threshold record's "Value". */
void set_threshold_value(
    dbus::connection& conn, const std::string& path,
    const std::string& interface, double value,
    std::function<void(boost::system::error_code)> handler);

/** Asks EntityManager to probe the board's inventory again. */
void rescan(dbus::connection& conn,
            std::function<void(boost::system::error_code)> handler);

} // namespace entity_manager
