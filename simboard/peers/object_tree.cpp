#include "simboard/peers/object_tree.hpp"

#include "dbus/error.hpp"

#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

namespace simboard::peers
{

namespace
{

constexpr const char* properties_iface = "org.freedesktop.DBus.Properties";
constexpr const char* introspectable_iface =
    "org.freedesktop.DBus.Introspectable";
constexpr const char* manager_iface = "org.freedesktop.DBus.ObjectManager";

constexpr const char* introspect_header =
    "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection "
    "1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n"
    "<node>\n";

constexpr const char* standard_interfaces =
    " <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
    "  <method name=\"Introspect\"><arg type=\"s\" direction=\"out\"/>"
    "</method>\n"
    " </interface>\n"
    " <interface name=\"org.freedesktop.DBus.Properties\">\n"
    "  <method name=\"Get\"><arg type=\"s\" direction=\"in\"/>"
    "<arg type=\"s\" direction=\"in\"/><arg type=\"v\" direction=\"out\"/>"
    "</method>\n"
    "  <method name=\"GetAll\"><arg type=\"s\" direction=\"in\"/>"
    "<arg type=\"a{sv}\" direction=\"out\"/></method>\n"
    "  <method name=\"Set\"><arg type=\"s\" direction=\"in\"/>"
    "<arg type=\"s\" direction=\"in\"/><arg type=\"v\" direction=\"in\"/>"
    "</method>\n"
    "  <signal name=\"PropertiesChanged\"><arg type=\"s\"/>"
    "<arg type=\"a{sv}\"/><arg type=\"as\"/></signal>\n"
    " </interface>\n";

constexpr const char* manager_interface =
    " <interface name=\"org.freedesktop.DBus.ObjectManager\">\n"
    "  <method name=\"GetManagedObjects\">"
    "<arg type=\"a{oa{sa{sv}}}\" direction=\"out\"/></method>\n"
    " </interface>\n";

void check(int r, const char* operation)
{
    if (r < 0)
    {
        throw dbus::error(r, operation);
    }
}

void expect_arguments(dbus::message& call, const std::string& signature)
{
    const std::string actual = call.signature();
    if (actual != signature)
    {
        throw dbus::error(SD_BUS_ERROR_INVALID_ARGS,
                          "expected arguments '" + signature + "', got '" +
                              actual + "'");
    }
}

void open(sd_bus_message* m, char type, const char* contents)
{
    check(sd_bus_message_open_container(m, type, contents),
          "sd_bus_message_open_container");
}

void close(sd_bus_message* m)
{
    check(sd_bus_message_close_container(m), "sd_bus_message_close_container");
}

/** Direct children of path among the paths of objects. */
template <typename Map>
std::set<std::string> child_names(const Map& objects, const std::string& path)
{
    const std::string prefix = path == "/" ? "/" : path + "/";
    std::set<std::string> children;
    for (auto it = objects.lower_bound(prefix);
         it != objects.end() && it->first.starts_with(prefix); ++it)
    {
        const std::string rest = it->first.substr(prefix.size());
        children.insert(rest.substr(0, rest.find('/')));
    }
    return children;
}

} // namespace

object_tree::object_tree(std::shared_ptr<dbus::connection> conn,
                         call_observer observer) :
    conn_(std::move(conn)),
    observer_(std::move(observer))
{
    check(sd_bus_add_fallback(conn_->get_bus(), &slot_, "/", on_call, this),
          "sd_bus_add_fallback");
}

object_tree::~object_tree()
{
    sd_bus_slot_unref(slot_);
}

void object_tree::add_property(
    const std::string& path, const std::string& iface, const std::string& name,
    const typed_value& initial, bool writable)
{
    check_fits(initial);
    objects_[path][iface].properties.insert_or_assign(
        name, property{initial, writable});
}

void object_tree::add_method(const std::string& path, const std::string& iface,
                             const std::string& name,
                             const std::string& in_signature, method handler)
{
    objects_[path][iface].methods.insert_or_assign(
        name, method_entry{in_signature, std::move(handler)});
}

void object_tree::set_hooks(const std::string& path, const std::string& iface,
                            get_hook on_get, set_hook on_set)
{
    interface& i = find_interface(path, iface);
    i.on_get = std::move(on_get);
    i.on_set = std::move(on_set);
}

void object_tree::serve_object_manager()
{
    object_manager_ = true;
}

bool object_tree::has_interface(const std::string& path,
                                const std::string& iface) const
{
    const auto obj = objects_.find(path);
    return obj != objects_.end() && obj->second.contains(iface);
}

const object_tree::interface& object_tree::find_interface(
    const std::string& path, const std::string& iface) const
{
    if (!has_interface(path, iface))
    {
        throw dbus::error(SD_BUS_ERROR_UNKNOWN_INTERFACE,
                          "no interface " + iface + " at " + path);
    }
    return objects_.at(path).at(iface);
}

object_tree::interface& object_tree::find_interface(const std::string& path,
                                                    const std::string& iface)
{
    const auto& self = *this;
    return const_cast<interface&>(self.find_interface(path, iface));
}

const typed_value& object_tree::get(const std::string& path,
                                    const std::string& iface,
                                    const std::string& name) const
{
    const interface& i = find_interface(path, iface);
    const auto prop = i.properties.find(name);
    if (prop == i.properties.end())
    {
        throw dbus::error(SD_BUS_ERROR_UNKNOWN_PROPERTY,
                          "no property " + name + " in " + iface);
    }
    return prop->second.value;
}

void object_tree::set(const std::string& path, const std::string& iface,
                      const std::string& name, const typed_value& value)
{
    get(path, iface, name); // throws for an unknown property
    property& prop = find_interface(path, iface).properties.at(name);
    if (prop.value == value)
    {
        return;
    }
    check_fits(value);
    prop.value = value;
    send_changed(path, iface, {{name, prop}});
}

void object_tree::emit_changed(const std::string& path,
                               const std::string& iface)
{
    send_changed(path, iface, find_interface(path, iface).properties);
}

void object_tree::remove_object(const std::string& path)
{
    const auto obj = objects_.find(path);
    if (obj == objects_.end())
    {
        throw dbus::error(SD_BUS_ERROR_UNKNOWN_OBJECT, "no object at " + path);
    }
    std::vector<std::string> interfaces;
    for (const auto& [name, i] : obj->second)
    {
        interfaces.push_back(name);
    }
    objects_.erase(obj);

    sd_bus_message* raw = nullptr;
    check(sd_bus_message_new_signal(conn_->get_bus(), &raw, "/", manager_iface,
                                    "InterfacesRemoved"),
          "sd_bus_message_new_signal");
    dbus::message signal = dbus::message::adopt(raw);
    signal.append(dbus::object_path{path});
    signal.append(interfaces);
    send(signal);
}

void object_tree::send_changed(const std::string& path,
                               const std::string& iface,
                               const std::map<std::string, property>& changed)
{
    sd_bus_message* raw = nullptr;
    check(sd_bus_message_new_signal(conn_->get_bus(), &raw, path.c_str(),
                                    properties_iface, "PropertiesChanged"),
          "sd_bus_message_new_signal");
    dbus::message signal = dbus::message::adopt(raw);
    signal.append(iface);
    append_properties(raw, changed);
    signal.append(std::vector<std::string>{});
    send(signal);
}

void object_tree::check_fits(const typed_value& value) const
{
    sd_bus_message* raw = nullptr;
    check(sd_bus_message_new_signal(conn_->get_bus(), &raw, "/",
                                    "xyz.openbmc_project.SimBoard", "Check"),
          "sd_bus_message_new_signal");
    const dbus::message scratch = dbus::message::adopt(raw);
    append_value(raw, value);
}

void object_tree::send(dbus::message& m)
{
    check(sd_bus_send(conn_->get_bus(), m.get(), nullptr), "sd_bus_send");
    // Sent from outside this connection's processing (e.g. on a control
    // call): make sure what is left in the queue gets written.
    conn_->schedule_processing();
}

int object_tree::on_call(sd_bus_message* m, void* userdata, sd_bus_error* err)
{
    auto& tree = *static_cast<object_tree*>(userdata);
    dbus::message call(m);
    try
    {
        if (tree.observer_)
        {
            tree.observer_(call);
        }
        tree.dispatch(call);
        return 1;
    }
    catch (const dbus::error& e)
    {
        return sd_bus_error_set(err, e.name().c_str(), e.description().c_str());
    }
    catch (const std::invalid_argument& e)
    {
        return sd_bus_error_set(err, SD_BUS_ERROR_INVALID_ARGS, e.what());
    }
    catch (const std::exception& e)
    {
        return sd_bus_error_set(err, SD_BUS_ERROR_FAILED, e.what());
    }
}

void object_tree::dispatch(dbus::message& call)
{
    const std::string path = call.path();
    const std::string iface = call.interface();
    const std::string member = call.member();
    sd_bus_message* raw = nullptr;
    check(sd_bus_message_new_method_return(call.get(), &raw),
          "sd_bus_message_new_method_return");
    dbus::message reply = dbus::message::adopt(raw);

    if (iface == introspectable_iface && member == "Introspect")
    {
        reply.append(introspect(path));
    }
    else if (object_manager_ && path == "/" && iface == manager_iface &&
             member == "GetManagedObjects")
    {
        append_managed_objects(raw);
    }
    else
    {
        const auto obj = objects_.find(path);
        if (obj == objects_.end())
        {
            throw dbus::error(SD_BUS_ERROR_UNKNOWN_OBJECT,
                              "no object at " + path);
        }
        if (iface == properties_iface)
        {
            properties_call(call, reply);
        }
        else
        {
            call_method(call, obj->second);
        }
    }
    if (sd_bus_message_get_expect_reply(call.get()) > 0)
    {
        send(reply);
    }
}

void object_tree::properties_call(dbus::message& call, dbus::message& reply)
{
    const std::string path = call.path();
    const std::string member = call.member();
    if (member == "GetAll")
    {
        expect_arguments(call, "s");
        const interface& i = find_interface(path, call.read<std::string>());
        append_properties(reply.get(), i.properties);
        return;
    }
    if (member != "Get" && member != "Set")
    {
        throw dbus::error(SD_BUS_ERROR_UNKNOWN_METHOD,
                          "no method " + member + " in " + properties_iface);
    }
    expect_arguments(call, member == "Get" ? "ss" : "ssv");
    const auto iface = call.read<std::string>();
    const auto name = call.read<std::string>();
    const typed_value& current = get(path, iface, name);
    interface& i = find_interface(path, iface);
    if (member == "Get")
    {
        if (i.on_get)
        {
            i.on_get(name);
        }
        append_variant(reply.get(), get(path, iface, name));
        return;
    }
    if (!i.properties.at(name).writable)
    {
        throw dbus::error(SD_BUS_ERROR_PROPERTY_READ_ONLY,
                          "property " + name + " is read-only");
    }
    const typed_value requested =
        parse_typed_value(read_value(call.get()).value);
    if (requested.signature != current.signature)
    {
        throw dbus::error(SD_BUS_ERROR_INVALID_ARGS,
                          "property " + name + " has type '" +
                              current.signature + "', not '" +
                              requested.signature + "'");
    }
    if (i.on_set)
    {
        i.on_set(name, requested);
    }
    else
    {
        set(path, iface, name, requested);
    }
}

void object_tree::call_method(dbus::message& call, object& obj)
{
    const std::string iface = call.interface();
    const std::string member = call.member();
    for (auto& [name, i] : obj)
    {
        const auto found = i.methods.find(member);
        if ((iface.empty() || iface == name) && found != i.methods.end())
        {
            expect_arguments(call, found->second.in);
            // A copy: the handler may replace the method table entry.
            const method handler = found->second.handler;
            handler(call);
            return;
        }
    }
    throw dbus::error(SD_BUS_ERROR_UNKNOWN_METHOD,
                      "no method " + member + " in " + iface);
}

void object_tree::append_properties(
    sd_bus_message* m, const std::map<std::string, property>& properties)
{
    open(m, 'a', "{sv}");
    for (const auto& [name, prop] : properties)
    {
        open(m, 'e', "sv");
        check(sd_bus_message_append_basic(m, 's', name.c_str()),
              "sd_bus_message_append");
        append_variant(m, prop.value);
        close(m);
    }
    close(m);
}

void object_tree::append_managed_objects(sd_bus_message* m) const
{
    open(m, 'a', "{oa{sa{sv}}}");
    for (const auto& [path, obj] : objects_)
    {
        open(m, 'e', "oa{sa{sv}}");
        check(sd_bus_message_append_basic(m, 'o', path.c_str()),
              "sd_bus_message_append");
        open(m, 'a', "{sa{sv}}");
        for (const auto& [name, i] : obj)
        {
            open(m, 'e', "sa{sv}");
            check(sd_bus_message_append_basic(m, 's', name.c_str()),
                  "sd_bus_message_append");
            append_properties(m, i.properties);
            close(m);
        }
        close(m);
        close(m);
    }
    close(m);
}

std::string object_tree::introspect(const std::string& path) const
{
    const auto obj = objects_.find(path);
    const auto children = child_names(objects_, path);
    const bool manager = object_manager_ && path == "/";
    if (obj == objects_.end() && children.empty() && !manager)
    {
        throw dbus::error(SD_BUS_ERROR_UNKNOWN_OBJECT, "no object at " + path);
    }
    std::string xml = introspect_header;
    xml += standard_interfaces;
    if (manager)
    {
        xml += manager_interface;
    }
    if (obj != objects_.end())
    {
        for (const auto& [name, i] : obj->second)
        {
            xml += " <interface name=\"" + name + "\">\n";
            for (const auto& [member, m] : i.methods)
            {
                xml += "  <method name=\"" + member + "\">";
                for (std::size_t pos = 0; pos < m.in.size();)
                {
                    const std::size_t end = complete_type_end(m.in, pos);
                    xml += "<arg type=\"" + m.in.substr(pos, end - pos) +
                           "\" direction=\"in\"/>";
                    pos = end;
                }
                xml += "</method>\n";
            }
            for (const auto& [member, p] : i.properties)
            {
                xml += "  <property name=\"" + member + "\" type=\"" +
                       p.value.signature + "\" access=\"" +
                       (p.writable ? "readwrite" : "read") + "\"/>\n";
            }
            xml += " </interface>\n";
        }
    }
    for (const std::string& child : children)
    {
        xml += " <node name=\"" + child + "\"/>\n";
    }
    return xml + "</node>\n";
}

} // namespace simboard::peers
