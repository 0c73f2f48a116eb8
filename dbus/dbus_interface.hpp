#pragma once

#include "dbus/connection.hpp"
#include "dbus/error.hpp"
#include "dbus/message.hpp"

#include <systemd/sd-bus.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

namespace dbus
{

/** Outcome of a property write handler. A refused write is one whose value
 *  the handler rejects; a denied one is a write the caller may not make at
 *  all. Both leave the stored value as it was. */
enum class write_result
{
    changed,
    unchanged,
    refused,
    denied,
};

enum class permission
{
    read_only,
    read_write,
};

namespace detail
{

/** Argument and return types of a callable with a single operator(). */
template <typename F>
struct callable_traits : callable_traits<decltype(&F::operator())>
{};
template <typename R, typename... A>
struct callable_traits<R (*)(A...)>
{
    using result = R;
    using args = std::tuple<std::remove_cvref_t<A>...>;
};
template <typename C, typename R, typename... A>
struct callable_traits<R (C::*)(A...)> : callable_traits<R (*)(A...)>
{};
template <typename C, typename R, typename... A>
struct callable_traits<R (C::*)(A...) const> : callable_traits<R (*)(A...)>
{};

/** Out-argument signature of a method returning R. */
template <typename R>
constexpr const char* out_signature()
{
    if constexpr (std::is_void_v<R>)
    {
        return "";
    }
    else if constexpr (is_tuple<R>::value)
    {
        return codec<R>::contents.c_str();
    }
    else
    {
        return signature_v<R>;
    }
}

} // namespace detail

/** One D-Bus interface on one object path.
 *
 *  Register properties and methods, then initialize(): that puts the
 *  interface on the bus and announces it with InterfacesAdded when an object
 *  manager is above its path. Destruction takes it off the bus again (with
 *  InterfacesRemoved when it had been announced).
 *
 *  Every property announces its changes. A write, from the bus (Set) or
 *  from set_property(), goes through the same path: the custom write
 *  handler if there is one (it may adjust the stored value, refuse or deny),
 *  otherwise a plain store. A refused write leaves the stored value as it
 *  was; PropertiesChanged is sent exactly when the stored value differs
 *  afterwards. A Set refused by its handler gets the error reply
 *  org.freedesktop.DBus.Error.InvalidArgs, a denied one
 *  org.freedesktop.DBus.Error.AccessDenied.
 *
 *  Methods and writable properties are open to every caller the bus lets
 *  through: access control is the bus policy's job.
 */
class dbus_interface
{
  public:
    dbus_interface(std::shared_ptr<connection> conn, std::string path,
                   std::string name);
    dbus_interface(const dbus_interface&) = delete;
    dbus_interface& operator=(const dbus_interface&) = delete;
    ~dbus_interface();

    /** Read-only property. */
    template <typename T>
    void register_property(const std::string& name, const T& value)
    {
        add_property(name, make_property<detail::value_t<T>>(value, false));
    }

    /** Property writable from the bus when access is read_write. */
    template <typename T>
    void register_property(const std::string& name, const T& value,
                           permission access)
    {
        add_property(name, make_property<detail::value_t<T>>(
                               value, access == permission::read_write));
    }

    /** Writable property guarded by
     *  write_result handler(const T& requested, T& stored). */
    template <typename T, typename Handler>
    requires std::is_invocable_r_v < write_result, Handler&,
        const detail::value_t<T>
    &, detail::value_t<T>& >
           void register_property(const std::string& name, const T& value,
                                  Handler handler)
    {
        auto prop = make_property<detail::value_t<T>>(value, true);
        prop->handler = std::move(handler);
        add_property(name, std::move(prop));
    }

    /** Writes like a Set from the bus would (through the write handler);
     *  returns whether the stored value changed. Throws dbus::error for an
     *  unknown property or a value of another type. */
    template <typename T>
    bool set_property(std::string_view name, const T& value)
    {
        using V = detail::value_t<T>;
        const auto& [key, prop] = find_entry(name);
        return commit(key,
                      typed<V>(key, *prop).write(static_cast<const V&>(value)));
    }

    template <typename T>
    T get_property(std::string_view name)
    {
        const auto& [key, prop] = find_entry(name);
        return typed<T>(key, *prop).value;
    }

    /** Registers a method; in and out signatures come from the callable's
     *  parameter and return types (void: empty reply, std::tuple: several
     *  out arguments). An exception thrown by it becomes the error reply:
     *  dbus::error keeps its name and message, any other std::exception
     *  becomes org.freedesktop.DBus.Error.Failed with what(). */
    template <typename Callable>
    void register_method(const std::string& name, Callable callable)
    {
        using traits = detail::callable_traits<Callable>;
        using args_t = typename traits::args;
        using result_t = typename traits::result;
        add_method(name, detail::codec<args_t>::contents.c_str(),
                   detail::out_signature<result_t>(),
                   [callable = std::move(callable)](message& call,
                                                    message& reply) mutable {
                       invoke<args_t, result_t>(callable, call, reply);
                   });
    }

    /** Declares a signal with arguments of the types Args, so that
     *  Introspect lists it; sending does not depend on it. */
    template <typename... Args>
    void register_signal(const std::string& name)
    {
        add_signal(name, signature_v<Args...>);
    }

    /** A signal of this interface to append arguments to. */
    message new_signal(const std::string& member);
    void signal_send(message& m);
    template <typename... Args>
    void emit_signal(const std::string& member, const Args&... args)
    {
        message m = new_signal(member);
        m.append(args...);
        signal_send(m);
    }

    /** Puts the interface on the bus; see the class comment. With
     *  announce_properties, also one PropertiesChanged per property. */
    void initialize(bool announce_properties = false);
    bool is_initialized() const noexcept
    {
        return slot_ != nullptr;
    }

    const std::string& path() const noexcept
    {
        return path_;
    }
    const std::string& name() const noexcept
    {
        return name_;
    }

  private:
    /** Reads the call's arguments, calls the method, appends its result. */
    template <typename Args, typename Result, typename Callable>
    static void invoke(Callable& callable, message& call, message& reply)
    {
        Args args;
        std::apply([&call](auto&... a) { call.read(a...); }, args);
        if constexpr (std::is_void_v<Result>)
        {
            std::apply(callable, std::move(args));
        }
        else if constexpr (detail::is_tuple<Result>::value)
        {
            std::apply([&reply](const auto&... r) { reply.append(r...); },
                       std::apply(callable, std::move(args)));
        }
        else
        {
            reply.append(std::apply(callable, std::move(args)));
        }
    }

    struct property
    {
        explicit property(bool writable) : writable(writable) {}
        virtual ~property() = default;
        virtual const char* signature() const = 0;
        virtual void append_to(message& m) const = 0;
        /** Reads the requested value from m and writes it. */
        virtual write_result write_from(message& m) = 0;

        bool writable;
    };

    template <typename T>
    struct typed_property final : property
    {
        typed_property(const T& initial, bool writable) :
            property(writable), value(initial)
        {}
        const char* signature() const override
        {
            return signature_v<T>;
        }
        void append_to(message& m) const override
        {
            m.append(value);
        }
        write_result write_from(message& m) override
        {
            return write(m.read<T>());
        }
        write_result write(const T& requested)
        {
            T before = value;
            if (!handler)
            {
                value = requested;
            }
            else if (const write_result result = run_handler(requested, before);
                     result == write_result::refused ||
                     result == write_result::denied)
            {
                value = std::move(before);
                return result;
            }
            return value == before ? write_result::unchanged
                                   : write_result::changed;
        }

        /** The handler's result; a handler that throws leaves the stored
         *  value as it was (`before`). */
        write_result run_handler(const T& requested, const T& before)
        {
            try
            {
                return handler(requested, value);
            }
            catch (...)
            {
                value = before;
                throw;
            }
        }

        T value;
        std::function<write_result(const T&, T&)> handler;
    };

    struct method
    {
        std::string in;
        std::string out;
        std::function<void(message& call, message& reply)> invoke;
    };

    template <typename T>
    static std::unique_ptr<typed_property<T>> make_property(const T& value,
                                                            bool writable)
    {
        return std::make_unique<typed_property<T>>(value, writable);
    }

    /** The property as one of type T (typed_property is final: its
     *  dynamic type is the whole check). */
    template <typename T>
    static typed_property<T>& typed(const std::string& name, property& prop)
    {
        if (typeid(prop) != typeid(typed_property<T>))
        {
            throw error("org.freedesktop.DBus.Error.InvalidArgs",
                        "property " + name + " has another type",
                        "dbus_interface");
        }
        return static_cast<typed_property<T>&>(prop);
    }

    void check_not_initialized(const std::string& member) const;
    void add_property(const std::string& name, std::unique_ptr<property> prop);
    void add_method(const std::string& name, const char* in, const char* out,
                    std::function<void(message&, message&)> invoke);
    void add_signal(const std::string& name, const char* signature);
    // Heterogeneous lookup: a name need not become a std::string first.
    using property_map =
        std::map<std::string, std::unique_ptr<property>, std::less<>>;

    property_map::value_type& find_entry(std::string_view name);
    /** Emits PropertiesChanged for a changed write; true when changed. */
    bool commit(const std::string& name, write_result result);
    void emit_changed(const std::string& name);

    static int on_get(sd_bus* bus, const char* path, const char* iface,
                      const char* name, sd_bus_message* reply, void* userdata,
                      sd_bus_error* err);
    static int on_set(sd_bus* bus, const char* path, const char* iface,
                      const char* name, sd_bus_message* value, void* userdata,
                      sd_bus_error* err);
    static int on_method(sd_bus_message* call, void* userdata,
                         sd_bus_error* err);

    std::shared_ptr<connection> conn_;
    std::string path_;
    std::string name_;
    // Node based: the vtable points into the keys and entries.
    property_map properties_;
    std::map<std::string, std::shared_ptr<method>> methods_;
    std::map<std::string, std::string> signals_; // name -> signature
    std::vector<sd_bus_vtable> vtable_;
    sd_bus_slot* slot_ = nullptr;
    bool announced_ = false;
};

} // namespace dbus
