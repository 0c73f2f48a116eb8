#include "fwkeeper/manager/remote_property.hpp"

#include <utility>
#include <variant>

namespace fwkeeper
{

namespace
{

constexpr const char* properties_interface = "org.freedesktop.DBus.Properties";

using string_value = std::variant<std::string>;
using byte_value = std::variant<std::uint8_t>;

template <typename Value>
Value get_value(dbus::connection& conn, const remote_property& prop)
{
    return conn.call_method<Value>(prop.service, prop.path,
                                   properties_interface, "Get", prop.interface,
                                   prop.name);
}

} // namespace

void set_string(dbus::connection& conn, const remote_property& prop,
                const std::string& value)
{
    conn.call_method(prop.service, prop.path, properties_interface, "Set",
                     prop.interface, prop.name, string_value(value));
}

std::string get_string(dbus::connection& conn, const remote_property& prop)
{
    return std::get<0>(get_value<string_value>(conn, prop));
}

std::uint8_t get_byte(dbus::connection& conn, const remote_property& prop)
{
    return std::get<0>(get_value<byte_value>(conn, prop));
}

void async_get_string(dbus::connection& conn, const remote_property& prop,
                      string_handler handler)
{
    conn.async_method_call<string_value>(
        [handler = std::move(handler)](boost::system::error_code ec,
                                       const string_value& value) {
            handler(ec, std::get<0>(value));
        },
        prop.service, prop.path, properties_interface, "Get", prop.interface,
        prop.name);
}

void async_set_string(dbus::connection& conn, const remote_property& prop,
                      const std::string& value, done_handler handler)
{
    conn.async_method_call(std::move(handler), prop.service, prop.path,
                           properties_interface, "Set", prop.interface,
                           prop.name, string_value(value));
}

} // namespace fwkeeper
