#pragma once

#include "dbus/connection.hpp"
#include "dbus/message.hpp"

#include <boost/system/error_code.hpp>

#include <string>
#include <utility>
#include <variant>

// The Properties interface of other services: typed Get, GetAll and Set,
// blocking or asynchronous.
namespace dbus
{

inline constexpr const char* properties_interface =
    "org.freedesktop.DBus.Properties";

/** One property of a service. */
struct remote_property
{
    std::string service;
    std::string path;
    std::string interface;
    std::string name;
};

/** Blocking Get. A value of another type than T reads as T{}. Throws
 *  dbus::error when the call fails. */
template <typename T>
T get_property(connection& conn, const remote_property& prop)
{
    return std::get<0>(conn.call_method<std::variant<T>>(
        prop.service, prop.path, properties_interface, "Get", prop.interface,
        prop.name));
}

/** Blocking Set; throws dbus::error when the call fails. */
template <typename T>
void set_property(connection& conn, const remote_property& prop, const T& value)
{
    conn.call_method(prop.service, prop.path, properties_interface, "Set",
                     prop.interface, prop.name,
                     std::variant<detail::value_t<T>>(value));
}

/** Asynchronous Get: handler(error_code, const T&), T{} for a failed call
 *  or a value of another type. */
template <typename T, typename Handler>
void async_get_property(connection& conn, const remote_property& prop,
                        Handler&& handler)
{
    conn.async_method_call<std::variant<T>>(
        [handler = std::forward<Handler>(handler)](
            boost::system::error_code ec,
            const std::variant<T>& value) mutable {
            handler(ec, std::get<0>(value));
        },
        prop.service, prop.path, properties_interface, "Get", prop.interface,
        prop.name);
}

/** Asynchronous Set: handler(error_code). */
template <typename T, typename Handler>
void async_set_property(connection& conn, const remote_property& prop,
                        const T& value, Handler&& handler)
{
    conn.async_method_call(std::forward<Handler>(handler), prop.service,
                           prop.path, properties_interface, "Set",
                           prop.interface, prop.name,
                           std::variant<detail::value_t<T>>(value));
}

/** Asynchronous GetAll of one interface: handler(error_code, Map), Map a
 *  map of property names to a variant of the types expected. */
template <typename Map, typename Handler>
void async_get_all(connection& conn, const std::string& service,
                   const std::string& path, const std::string& interface,
                   Handler&& handler)
{
    conn.async_method_call<Map>(std::forward<Handler>(handler), service, path,
                                properties_interface, "GetAll", interface);
}

} // namespace dbus
