#include "simboard/soak/board_actions.hpp"

#include "dbus/properties.hpp"

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string_view>
#include <variant>
#include <vector>

namespace simboard::soak
{

namespace
{

struct drive
{
    unsigned bus;
    std::string_view record;
    std::string_view sensor;
    // Threshold properties the drive's configuration gives it.
    std::array<std::pair<std::string_view, std::string_view>, 2> thresholds;
};

constexpr std::uint8_t drive_address = 0x6a;
constexpr std::uint8_t temperature_reg = 1;
constexpr std::string_view warning =
    "xyz.openbmc_project.Sensor.Threshold.Warning";
constexpr std::string_view critical =
    "xyz.openbmc_project.Sensor.Threshold.Critical";

const std::array<drive, 2> drives{{
    {7,
     "/xyz/openbmc_project/inventory/system/board/Board_1/M2_1",
     "/xyz/openbmc_project/sensors/temperature/M2_Drive_1",
     {{{warning, "WarningHigh"}, {critical, "CriticalHigh"}}}},
    {8,
     "/xyz/openbmc_project/inventory/system/board/Board_1/M2_2",
     "/xyz/openbmc_project/sensors/temperature/M2_Drive_2",
     {{{critical, "CriticalHigh"}, {warning, "WarningLow"}}}},
}};

constexpr const char* m2_interface =
    "xyz.openbmc_project.Configuration.M2Sensor";

struct backplane
{
    unsigned bus;
    std::uint8_t address;
    unsigned bays;
};

// Presence of bay b: register 16 + b / 8, bit b % 8.
constexpr std::array<backplane, 3> backplanes{
    {{20, 0x33, 8}, {21, 0x37, 10}, {22, 0x3b, 12}}};
constexpr std::uint8_t presence_reg = 16;

constexpr std::array<const char*, 4> os_states{
    "Standby",
    "xyz.openbmc_project.State.OperatingSystem.Status.OSStatus.Standby",
    "Inactive", "BootingBootloader"};
constexpr std::array<const char*, 3> power_states{"On", "BiosPost", "Always"};

} // namespace

unsigned board_actions::pick(unsigned count)
{
    return std::uniform_int_distribution<unsigned>(0, count - 1)(random_);
}

template <typename Action>
void board_actions::run(const std::string& name, Action action)
{
    auto& count = counts_[name];
    ++count.done;
    try
    {
        action();
    }
    catch (const dbus::error&)
    {
        ++count.refused;
    }
}

void board_actions::swing_temperature()
{
    const drive& target = drives[pick(drives.size())];
    run("temperature swings", [&] {
        const unsigned roll = pick(20);
        if (roll == 0)
        {
            sim_.i2c().set_silent(target.bus, drive_address, true);
            return;
        }
        sim_.i2c().set_silent(target.bus, drive_address, false);
        // Now and then a byte that reads as no value (0x80 and above).
        const unsigned byte = roll == 1 ? 128 + pick(128) : pick(101);
        sim_.i2c().write_register(target.bus, drive_address, temperature_reg,
                                  static_cast<std::uint8_t>(byte));
    });
}

void board_actions::write_threshold()
{
    const drive& target = drives[pick(drives.size())];
    const auto& [iface, name] = target.thresholds[pick(2)];
    const double value = 1.0 + pick(100);
    run("threshold writes", [&] {
        dbus::set_property(
            sim_.client(),
            {"xyz.openbmc_project.M2Sensor", std::string(target.sensor),
             std::string(iface), std::string(name)},
            value);
    });
}

void board_actions::flip_presence()
{
    const backplane& target = backplanes[pick(backplanes.size())];
    const unsigned bay = pick(target.bays);
    run("presence changes", [&] {
        const auto reg = static_cast<std::uint8_t>(presence_reg + bay / 8);
        const auto now =
            sim_.i2c().read_register(target.bus, target.address, reg);
        sim_.i2c().write_register(
            target.bus, target.address, reg,
            static_cast<std::uint8_t>(now ^ (1U << (bay % 8))));
    });
}

void board_actions::flip_os_state()
{
    const std::string state = os_states[pick(os_states.size())];
    run("OS state flips", [&] {
        const char* iface = "xyz.openbmc_project.State.OperatingSystem.Status";
        dbus::set_property(
            sim_.client(),
            {"xyz.openbmc_project.State.OperatingSystem",
             "/xyz/openbmc_project/state/os", iface, "OperatingSystemState"},
            std::string(state));
    });
}

void board_actions::change_record()
{
    // A record that vanished stays away until the peers come back.
    std::vector<std::string> present;
    for (const drive& candidate : drives)
    {
        if (!removed_.contains(std::string(candidate.record)))
        {
            present.emplace_back(candidate.record);
        }
    }
    if (present.empty())
    {
        return;
    }
    const std::string record = present[pick(present.size())];
    run("record changes", [&] {
        if (pick(2) == 0)
        {
            sim_.client().call_method(
                "xyz.openbmc_project.SimBoard",
                "/xyz/openbmc_project/simboard/entity_manager",
                "xyz.openbmc_project.SimBoard.EntityManager", "EmitChanged",
                dbus::object_path(record), m2_interface);
            return;
        }
        dbus::set_property(
            sim_.client(),
            {"xyz.openbmc_project.EntityManager", record, m2_interface,
             "PowerState"},
            std::string(power_states[pick(power_states.size())]));
    });
}

void board_actions::remove_record()
{
    const drive& target = drives[pick(drives.size())];
    const std::string record(target.record);
    if (removed_.contains(record))
    {
        return;
    }
    run("records vanishing", [&] {
        sim_.client().call_method(
            "xyz.openbmc_project.SimBoard",
            "/xyz/openbmc_project/simboard/entity_manager",
            "xyz.openbmc_project.SimBoard.EntityManager", "RemoveObject",
            dbus::object_path(record));
        removed_.insert(record);
    });
}

void board_actions::stop_peers()
{
    ++counts_["peers away"].done;
    sim_.stop_peers();
    peers_away_ = true;
}

void board_actions::restore_peers()
{
    try
    {
        sim_.restart_peers();
    }
    catch (const std::runtime_error&)
    {
        ++counts_["peers away"].refused; // they stay away for now
        return;
    }
    peers_away_ = false;
    removed_.clear();
}

} // namespace simboard::soak
