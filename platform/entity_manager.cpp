#include "platform/entity_manager.hpp"

namespace entity_manager
{

namespace
{

constexpr const char* properties_interface = "org.freedesktop.DBus.Properties";

} // namespace

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
    conn.async_method_call<config_properties>(
        std::move(handler), service, path, properties_interface, "GetAll",
        interface);
}

void set_threshold_value(dbus::connection& conn, const std::string& path,
                         const std::string& interface, double value,
                         std::function<void(boost::system::error_code)> handler)
{
    conn.async_method_call(std::move(handler), service, path,
                           properties_interface, "Set", interface,
                           std::string("Value"), std::variant<double>(value));
}

void rescan(dbus::connection& conn,
            std::function<void(boost::system::error_code)> handler)
{
    conn.async_method_call(std::move(handler), service,
                           "/xyz/openbmc_project/EntityManager",
                           "xyz.openbmc_project.EntityManager", "ReScan");
}

} // namespace entity_manager
