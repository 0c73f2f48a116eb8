#include "dbus/dbus_interface.hpp"

#include <cerrno>
#include <stdexcept>

namespace dbus
{

namespace
{

/** Turns the exception in flight into the error of a bus callback. */
int set_bus_error(sd_bus_error* err, const char* where)
{
    try
    {
        throw;
    }
    catch (const error& e)
    {
        return sd_bus_error_set(err, e.name().c_str(), e.description().c_str());
    }
    catch (const std::exception& e)
    {
        return sd_bus_error_set(err, SD_BUS_ERROR_FAILED, e.what());
    }
    catch (...)
    {
        return sd_bus_error_setf(err, SD_BUS_ERROR_FAILED,
                                 "%s: unknown exception", where);
    }
}

} // namespace

dbus_interface::dbus_interface(std::shared_ptr<connection> conn,
                               std::string path, std::string name) :
    conn_(std::move(conn)),
    path_(std::move(path)), name_(std::move(name))
{}

dbus_interface::~dbus_interface()
{
    if (slot_ == nullptr)
    {
        return;
    }
    sd_bus_slot_unref(slot_);
    if (announced_)
    {
        // -ESRCH: the object manager went first; nobody to tell.
        sd_bus_emit_interfaces_removed(conn_->get_bus(), path_.c_str(),
                                       name_.c_str(), nullptr);
    }
    try
    {
        conn_->schedule_processing();
    }
    catch (...)
    {
        detail::report_exception("~dbus_interface");
    }
}

void dbus_interface::check_not_initialized(const std::string& member) const
{
    if (is_initialized())
    {
        throw std::logic_error("dbus_interface " + path_ + " " + name_ + ": " +
                               member + " registered after initialize");
    }
}

void dbus_interface::add_property(const std::string& name,
                                  std::unique_ptr<property> prop)
{
    check_not_initialized(name);
    if (methods_.contains(name) ||
        !properties_.emplace(name, std::move(prop)).second)
    {
        throw std::logic_error(
            "dbus_interface " + name_ + ": " + name + " registered twice");
    }
}

void dbus_interface::add_method(const std::string& name, const char* in,
                                const char* out,
                                std::function<void(message&, message&)> invoke)
{
    check_not_initialized(name);
    auto entry = std::make_shared<method>(method{in, out, std::move(invoke)});
    if (properties_.contains(name) ||
        !methods_.emplace(name, std::move(entry)).second)
    {
        throw std::logic_error(
            "dbus_interface " + name_ + ": " + name + " registered twice");
    }
}

void dbus_interface::add_signal(const std::string& name, const char* signature)
{
    check_not_initialized(name);
    if (!signals_.emplace(name, signature).second)
    {
        throw std::logic_error(
            "dbus_interface " + name_ + ": " + name + " registered twice");
    }
}

dbus_interface::property_map::value_type& dbus_interface::find_entry(
    std::string_view name)
{
    auto it = properties_.find(name);
    if (it == properties_.end())
    {
        throw error(SD_BUS_ERROR_UNKNOWN_PROPERTY,
                    name_ + " has no property " + std::string(name),
                    "dbus_interface");
    }
    return *it;
}

bool dbus_interface::commit(const std::string& name, write_result result)
{
    if (result != write_result::changed)
    {
        return false;
    }
    emit_changed(name);
    return true;
}

void dbus_interface::emit_changed(const std::string& name)
{
    if (!is_initialized())
    {
        return;
    }
    const int r = sd_bus_emit_properties_changed(
        conn_->get_bus(), path_.c_str(), name_.c_str(), name.c_str(), nullptr);
    if (r < 0)
    {
        throw error(r, "sd_bus_emit_properties_changed");
    }
    conn_->schedule_processing();
}

message dbus_interface::new_signal(const std::string& member)
{
    return conn_->new_signal(path_, name_, member);
}

void dbus_interface::signal_send(message& m)
{
    conn_->send(m);
}

void dbus_interface::initialize(bool announce_properties)
{
    check_not_initialized("initialize");
    vtable_.clear();
    // The bus policy decides who may call: sd-bus would otherwise refuse
    // every caller without CAP_SYS_ADMIN that is not this process's user,
    // or any caller at all when this process may not read the caller's
    // /proc entry.
    vtable_.push_back(SD_BUS_VTABLE_START(SD_BUS_VTABLE_UNPRIVILEGED));
    for (const auto& [name, prop] : properties_)
    {
        if (prop->writable)
        {
            vtable_.push_back(SD_BUS_WRITABLE_PROPERTY(
                name.c_str(), prop->signature(), on_get, on_set, 0,
                SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE |
                    SD_BUS_VTABLE_UNPRIVILEGED));
        }
        else
        {
            vtable_.push_back(
                SD_BUS_PROPERTY(name.c_str(), prop->signature(), on_get, 0,
                                SD_BUS_VTABLE_PROPERTY_EMITS_CHANGE));
        }
    }
    for (const auto& [name, entry] : methods_)
    {
        vtable_.push_back(
            SD_BUS_METHOD(name.c_str(), entry->in.c_str(), entry->out.c_str(),
                          on_method, SD_BUS_VTABLE_UNPRIVILEGED));
    }
    for (const auto& [name, signature] : signals_)
    {
        vtable_.push_back(SD_BUS_SIGNAL(name.c_str(), signature.c_str(), 0));
    }
    vtable_.push_back(SD_BUS_VTABLE_END);

    sd_bus* bus = conn_->get_bus();
    const int r = sd_bus_add_object_vtable(bus, &slot_, path_.c_str(),
                                           name_.c_str(), vtable_.data(), this);
    if (r < 0)
    {
        slot_ = nullptr;
        throw error(r, "sd_bus_add_object_vtable");
    }
    const int added = sd_bus_emit_interfaces_added(bus, path_.c_str(),
                                                   name_.c_str(), nullptr);
    if (added < 0 && added != -ESRCH)
    {
        throw error(added, "sd_bus_emit_interfaces_added");
    }
    announced_ = added >= 0;
    if (announce_properties)
    {
        for (const auto& [name, prop] : properties_)
        {
            emit_changed(name);
        }
    }
    conn_->schedule_processing();
}

int dbus_interface::on_get(sd_bus* /*bus*/, const char* /*path*/,
                           const char* /*iface*/, const char* name,
                           sd_bus_message* reply, void* userdata,
                           sd_bus_error* err)
{
    auto* self = static_cast<dbus_interface*>(userdata);
    try
    {
        message m(reply);
        self->find_entry(name).second->append_to(m);
        return 1;
    }
    catch (...)
    {
        return set_bus_error(err, "property get");
    }
}

int dbus_interface::on_set(sd_bus* /*bus*/, const char* /*path*/,
                           const char* /*iface*/, const char* name,
                           sd_bus_message* value, void* userdata,
                           sd_bus_error* err)
{
    auto* self = static_cast<dbus_interface*>(userdata);
    try
    {
        message m(value);
        const write_result result =
            self->find_entry(name).second->write_from(m);
        if (result == write_result::refused)
        {
            return sd_bus_error_setf(err, SD_BUS_ERROR_INVALID_ARGS,
                                     "Value refused for property %s", name);
        }
        if (result == write_result::denied)
        {
            return sd_bus_error_setf(err, SD_BUS_ERROR_ACCESS_DENIED,
                                     "Not allowed to set property %s", name);
        }
        self->commit(name, result);
        return 1;
    }
    catch (...)
    {
        return set_bus_error(err, "property set");
    }
}

int dbus_interface::on_method(sd_bus_message* call, void* userdata,
                              sd_bus_error* err)
{
    auto* self = static_cast<dbus_interface*>(userdata);
    try
    {
        message request(call);
        // A copy: the handler may remove this very interface.
        const std::shared_ptr<method> entry =
            self->methods_.at(request.member());
        sd_bus_message* raw = nullptr;
        const int r = sd_bus_message_new_method_return(call, &raw);
        if (r < 0)
        {
            throw error(r, "sd_bus_message_new_method_return");
        }
        message reply = message::adopt(raw);
        entry->invoke(request, reply);
        const int sent = sd_bus_send(nullptr, reply.get(), nullptr);
        if (sent < 0)
        {
            throw error(sent, "sd_bus_send");
        }
        return 1;
    }
    catch (...)
    {
        return set_bus_error(err, "method call");
    }
}

} // namespace dbus
