#pragma once

#include "dbus/connection.hpp"
#include "dbus/message.hpp"
#include "simboard/peers/typed_value.hpp"

#include <systemd/sd-bus.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace simboard::peers
{

/** The objects one connection serves, with properties of any D-Bus type.
 *
 *  Every method call to the connection is answered here, whatever its
 *  path: Properties Get/GetAll/Set, Introspect, GetManagedObjects at "/"
 *  (when enabled) and the registered methods. Property types are data, not
 *  code, so a property can change its type at run time. Unknown objects,
 *  interfaces, properties and methods, writes to read-only properties and
 *  values or arguments of the wrong type get the standard D-Bus errors. A
 *  dbus::error thrown by a hook or method becomes the error reply, a
 *  std::invalid_argument an InvalidArgs error.
 */
class object_tree
{
  public:
    /** Sees each method call before it is answered. */
    using call_observer = std::function<void(dbus::message& call)>;
    /** Runs for a Properties Get of one property of the interface, before
     *  the value is read: may change values, or throw dbus::error to answer
     *  the Get with that error. Not run for GetAll or GetManagedObjects. */
    using get_hook = std::function<void(const std::string& property)>;
    /** Replaces the plain store of a Properties Set of a writable property
     *  (already checked to be of the property's type): stores with set(),
     *  or throws dbus::error to refuse. */
    using set_hook = std::function<void(const std::string& property,
                                        const typed_value& requested)>;
    /** A method with an empty reply; reads its arguments from the call. */
    using method = std::function<void(dbus::message& call)>;

    object_tree(std::shared_ptr<dbus::connection> conn,
                call_observer observer = {});
    object_tree(const object_tree&) = delete;
    object_tree& operator=(const object_tree&) = delete;
    ~object_tree();

    /** Throws std::invalid_argument when the value does not fit its type. */
    void add_property(const std::string& path, const std::string& iface,
                      const std::string& name, const typed_value& initial,
                      bool writable);
    /** in_signature: the signature the call's arguments must have. */
    void add_method(const std::string& path, const std::string& iface,
                    const std::string& name, const std::string& in_signature,
                    method handler);
    void set_hooks(const std::string& path, const std::string& iface,
                   get_hook on_get, set_hook on_set);
    /** Serves GetManagedObjects at "/" for all objects. */
    void serve_object_manager();

    bool has_interface(const std::string& path, const std::string& iface) const;
    /** Throws dbus::error (UnknownInterface/UnknownProperty). */
    const typed_value& get(const std::string& path, const std::string& iface,
                           const std::string& name) const;
    /** Stores the value, of any type, and emits PropertiesChanged when it
     *  differs from the stored one. Throws dbus::error for an unknown
     *  property and std::invalid_argument for a value that does not fit
     *  its type. */
    void set(const std::string& path, const std::string& iface,
             const std::string& name, const typed_value& value);
    /** Emits PropertiesChanged with every property of the interface. */
    void emit_changed(const std::string& path, const std::string& iface);
    /** Removes the object and emits InterfacesRemoved with its interfaces
     *  from the object manager at "/". Throws dbus::error (UnknownObject)
     *  when there is no object at path. */
    void remove_object(const std::string& path);

  private:
    struct property
    {
        typed_value value;
        bool writable;
    };
    struct method_entry
    {
        std::string in;
        method handler;
    };
    struct interface
    {
        std::map<std::string, property> properties;
        std::map<std::string, method_entry> methods;
        get_hook on_get;
        set_hook on_set;
    };
    using object = std::map<std::string, interface>;

    static int on_call(sd_bus_message* m, void* userdata, sd_bus_error* err);
    void dispatch(dbus::message& call);
    void properties_call(dbus::message& call, dbus::message& reply);
    void call_method(dbus::message& call, object& obj);
    static void append_properties(
        sd_bus_message* m, const std::map<std::string, property>& properties);
    void append_managed_objects(sd_bus_message* m) const;
    std::string introspect(const std::string& path) const;
    void send_changed(const std::string& path, const std::string& iface,
                      const std::map<std::string, property>& changed);

    interface& find_interface(const std::string& path,
                              const std::string& iface);
    const interface& find_interface(const std::string& path,
                                    const std::string& iface) const;
    void check_fits(const typed_value& value) const;
    void send(dbus::message& m);

    std::shared_ptr<dbus::connection> conn_;
    call_observer observer_;
    std::map<std::string, object> objects_;
    bool object_manager_ = false;
    sd_bus_slot* slot_ = nullptr;
};

} // namespace simboard::peers
