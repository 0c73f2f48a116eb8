#include "dbus/object_server.hpp"

#include <algorithm>

namespace dbus
{

object_server::object_server(std::shared_ptr<connection> conn,
                             const std::string& manager_path) :
    conn_(std::move(conn))
{
    const int r = sd_bus_add_object_manager(conn_->get_bus(), &manager_slot_,
                                            manager_path.c_str());
    if (r < 0)
    {
        throw error(r, "sd_bus_add_object_manager");
    }
}

object_server::~object_server()
{
    // Interfaces that go now are announced as removed while the manager is
    // still there.
    interfaces_.clear();
    sd_bus_slot_unref(manager_slot_);
}

std::shared_ptr<dbus_interface> object_server::add_interface(
    const std::string& path, const std::string& name)
{
    auto iface = std::make_shared<dbus_interface>(conn_, path, name);
    interfaces_.push_back(iface);
    return iface;
}

bool object_server::remove_interface(
    const std::shared_ptr<dbus_interface>& iface)
{
    const auto it = std::find(interfaces_.begin(), interfaces_.end(), iface);
    if (it == interfaces_.end())
    {
        return false;
    }
    interfaces_.erase(it);
    return true;
}

} // namespace dbus
