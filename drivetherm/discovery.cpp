#include "drivetherm/discovery.hpp"

#include "platform/entity_manager.hpp"
#include "platform/log_line.hpp"
#include "sensors/thresholds.hpp"

#include <algorithm>
#include <exception>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace
{

constexpr const char* degreesC =
    "xyz.openbmc_project.Sensor.Value.Unit.DegreesC";

const ConfigValue& requiredKey(const ConfigProperties& config,
                               const std::string& key)
{
    const auto it = config.find(key);
    if (it == config.end())
    {
        platform::log_line(stderr, "Configuration missing " + key);
        throw std::invalid_argument("Key Missing");
    }
    return it->second;
}

uint8_t lowByte(const ConfigProperties& config, const std::string& key)
{
    return static_cast<uint8_t>(variantToUnsigned(requiredKey(config, key)));
}

/** The gated records whose drive did not answer in the latest pass, as
 *  (readStateKey, "Name"). */
std::set<std::pair<std::string, std::string>>& unansweredDrives()
{
    static std::set<std::pair<std::string, std::string>> drives;
    return drives;
}

/** The gated state of a record whose drive did not answer; nothing when
 *  it has none, or no "PowerState" that reads as text (reported only for
 *  a drive that answers). */
std::optional<ReadState> gateOfUnanswered(const ConfigProperties& config)
{
    const auto powerState = config.find("PowerState");
    if (powerState == config.end())
    {
        return std::nullopt;
    }
    try
    {
        ReadState state = readStateFor(variantToString(powerState->second));
        return isGated(state) ? std::optional(state) : std::nullopt;
    }
    catch (const std::invalid_argument&)
    {
        return std::nullopt;
    }
}

// An unpowered drive does not answer either: its state is watched all the
// same, so that entering it brings another pass.
void watchUnanswered(const std::shared_ptr<dbus::connection>& conn,
                     const std::string& name, const ConfigProperties& config)
{
    if (const auto state = gateOfUnanswered(config))
    {
        setupStateMatch(conn, *state);
        unansweredDrives().emplace(readStateKey(*state), name);
    }
}

/** The objects of a reply in ascending order of their paths. */
std::vector<const ManagedObjects::value_type*> byPath(
    const ManagedObjects& objects)
{
    std::vector<const ManagedObjects::value_type*> sorted;
    sorted.reserve(objects.size());
    for (const auto& object : objects)
    {
        sorted.push_back(&object);
    }
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto* a, const auto* b) {
                         return a->first.str < b->first.str;
                     });
    return sorted;
}

void createSensors(boost::asio::io_context& io,
                   dbus::object_server& objectServer,
                   const std::shared_ptr<dbus::connection>& conn,
                   const ManagedObjects& objects)
{
    unansweredDrives().clear();
    for (const auto* object : byPath(objects))
    {
        const auto& [path, interfaces] = *object;
        for (const auto& [name, config] : interfaces)
        {
            if (name == m2ConfigInterface)
            {
                createSensor(io, objectServer, conn, path.str, interfaces,
                             config);
            }
        }
    }
}

/** The reply of a pass's GetManagedObjects. */
void onManagedObjects(
    boost::asio::io_context& io, dbus::object_server& objectServer,
    const std::shared_ptr<dbus::connection>& conn, boost::system::error_code ec,
    const ManagedObjects& objects)
{
    if (ec)
    {
        platform::log_line(stderr, "Error contacting entity manager");
        return;
    }
    try
    {
        createSensors(io, objectServer, conn, objects);
    }
    catch (const std::exception& e)
    {
        platform::log_line(stderr,
                           std::string("Discovery pass stopped: ") + e.what());
    }
}

} // namespace

SensorTable& sensorTable()
{
    static SensorTable table;
    return table;
}

bool awaitsState(const std::string& key)
{
    return std::ranges::any_of(unansweredDrives(), [&key](const auto& drive) {
        return drive.first == key && !sensorTable().contains(drive.second);
    });
}

ReadState readStateFor(const std::string& powerState)
{
    if (powerState == "BiosPost")
    {
        return {"xyz.openbmc_project.State.OperatingSystem",
                "/xyz/openbmc_project/state/os",
                "xyz.openbmc_project.State.OperatingSystem.Status",
                "OperatingSystemState", "Standby"};
    }
    return {"xyz.openbmc_project.State.Host",
            "/xyz/openbmc_project/state/host0",
            "xyz.openbmc_project.State.Host", "CurrentHostState",
            powerState == "On" ? std::string(".Running") : powerState};
}

void createSensor(boost::asio::io_context& io,
                  dbus::object_server& objectServer,
                  const std::shared_ptr<dbus::connection>& conn,
                  const std::string& path, const ConfigInterfaces& interfaces,
                  const ConfigProperties& config)
{
    const std::string name = variantToString(requiredKey(config, "Name"));
    std::vector<Threshold> thresholds;
    if (!parseThresholds(interfaces, thresholds))
    {
        platform::log_line(stderr, "error populating thresholds for " + name);
    }
    const uint8_t bus = lowByte(config, "Bus");
    const uint8_t address = lowByte(config, "Address");
    const uint8_t reg = lowByte(config, "Reg");
    if (probeDevice(bus, address, reg) != 0)
    {
        platform::log_format(stderr, "%s:%d, bus:%d, vpdAddr:%x, tmp:%d\n",
                             "operator()", 277, bus, address, reg);
        watchUnanswered(conn, name, config);
        return;
    }
    ReadState readState =
        readStateFor(variantToString(requiredKey(config, "PowerState")));

    // The new sensor is built before the old one of this Name goes, so the
    // old object leaves the bus before the new one registers its path.
    auto& slot = sensorTable()[name];
    slot = std::make_unique<Drivetherm>(
        io, objectServer, conn, name, std::move(thresholds), path, bus, address,
        reg, std::move(readState));
    slot->setInitialProperties(conn, degreesC);
    slot->armPollTimer();
}

void discoverSensors(boost::asio::io_context& io,
                     dbus::object_server& objectServer,
                     std::shared_ptr<dbus::connection>& conn)
{
    if (!conn)
    {
        platform::log_line(stderr, "Connection not created");
        return;
    }
    entity_manager::get_managed_objects(
        *conn, std::bind_front(&onManagedObjects, std::ref(io),
                               std::ref(objectServer), std::ref(conn)));
}
