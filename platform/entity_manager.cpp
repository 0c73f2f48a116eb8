#include "platform/entity_manager.hpp"

namespace entity_manager
{

namespace
{

constexpr const char* propertiesInterface = "org.freedesktop.DBus.Properties";

} // namespace

void getManagedObjects(
    dbus::connection& conn,
    std::function<void(boost::system::error_code, ManagedObjects)> handler)
{
    conn.async_method_call<ManagedObjects>(
        std::move(handler), service, "/", "org.freedesktop.DBus.ObjectManager",
        "GetManagedObjects");
}

void getRecord(
    dbus::connection& conn, const std::string& path,
    const std::string& interface,
    std::function<void(boost::system::error_code, ConfigProperties)> handler)
{
    conn.async_method_call<ConfigProperties>(
        std::move(handler), service, path, propertiesInterface, "GetAll",
        interface);
}

void setThresholdValue(dbus::connection& conn, const std::string& path,
                       const std::string& interface, double value,
                       std::function<void(boost::system::error_code)> handler)
{
    conn.async_method_call(std::move(handler), service, path,
                           propertiesInterface, "Set", interface,
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
