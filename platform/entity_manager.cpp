#include "platform/entity_manager.hpp"

#include "dbus/properties.hpp"

namespace entity_manager
{

void get_managed_objects(
    dbus::connection& conn,
    std::function<void(boost::system::error_code, managed_objects)> handler)
{
    conn.async_method_call<managed_objects>(
        std::move(handler), service, "/", "org.freedesktop.DBus.ObjectManager",
        "GetManagedObjects");
}

void get_record(
    dbus::connection& conn, const std::string& path,
    const std::string& interface,
    std::function<void(boost::system::error_code, config_properties)> handler)
{
    dbus::async_get_all<config_properties>(conn, service, path, interface,
                                           std::move(handler));
}

void set_threshold_value(dbus::connection& conn, const std::string& path,
                         const std::string& interface, double value,
                         std::function<void(boost::system::error_code)> handler)
{
    dbus::async_set_property(conn, {service, path, interface, "Value"}, value,
                             std::move(handler));
}

void rescan(dbus::connection& conn,
            std::function<void(boost::system::error_code)> handler)
{
    conn.async_method_call(std::move(handler), service,
                           "/xyz/openbmc_project/EntityManager",
                           "xyz.openbmc_project.EntityManager", "ReScan");
}

} // namespace entity_manager
