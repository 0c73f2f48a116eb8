#include "sensors/association.hpp"

#include <filesystem>
#include <tuple>
#include <vector>

void publishAssociation(const std::shared_ptr<dbus::dbus_interface>& iface,
                        const std::string& configPath)
{
    if (!iface)
    {
        return;
    }
    using Association = std::tuple<std::string, std::string, std::string>;
    const std::string inventoryItem =
        std::filesystem::path(configPath).parent_path().string();
    iface->register_property(
        "Associations",
        std::vector<Association>{{"chassis", "all_sensors", inventoryItem}});
    iface->initialize();
}
