#include "baysentry/test/bay_board.hpp"

#include "dbus/error.hpp"
#include "dbus/properties.hpp"

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace baysentry_test
{

namespace
{

constexpr const char* osService = "xyz.openbmc_project.State.OperatingSystem";
constexpr const char* osPath = "/xyz/openbmc_project/state/os";
constexpr const char* osInterface =
    "xyz.openbmc_project.State.OperatingSystem.Status";

std::string hex(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%02x", value);
    return text;
}

nlohmann::json deviceOf(const Backplane& backplane)
{
    nlohmann::json registers{{"4", hex(backplane.id & 0xff)},
                             {"5", hex(backplane.id >> 8)}};
    for (auto [reg, value] : backplane.presence)
    {
        registers[std::to_string(reg)] = hex(value);
    }
    return {{"bus", backplane.bus},
            {"address", hex(backplane.address)},
            {"kind", "register"},
            {"registers", registers}};
}

} // namespace

nlohmann::json boardWith(const std::vector<Backplane>& backplanes,
                         const std::map<unsigned, std::string>& links,
                         bool withPeers)
{
    nlohmann::json description;
    auto& i2c = description["i2c"];
    i2c["buses"] = nlohmann::json::array();
    for (unsigned bus : {20, 21, 22})
    {
        i2c["buses"].push_back({{"bus", bus}});
    }
    i2c["devices"] = nlohmann::json::array();
    for (const auto& backplane : backplanes)
    {
        i2c["devices"].push_back(deviceOf(backplane));
    }
    description["links"] = nlohmann::json::object();
    for (const auto& [bus, target] : links)
    {
        description["links"]["/sys/bus/i2c/devices/i2c-" + std::to_string(bus) +
                             "/mux_device"] = target;
    }
    description["peers"] = {{"os", {{"OperatingSystemState", "Inactive"}}}};
    if (withPeers)
    {
        description["peers"]["fru"] = nlohmann::json::object();
        description["peers"]["entity_manager"] = nlohmann::json::object();
    }
    return description;
}

void linkBays(std::map<unsigned, std::string>& links, unsigned first,
              unsigned count, unsigned bus)
{
    for (unsigned i = 0; i < count; ++i)
    {
        links[first + i] = "../../" + std::to_string(bus) + "-00" +
                           hex(0x70 + i / 4).substr(2);
    }
}

std::vector<std::string> pulseCommands()
{
    return {"gpioset gpiochip0 104=0", "usleep 10000",
            "gpioset gpiochip0 104=1"};
}

bool BayBoard::start(const std::vector<std::string>& argv)
{
    daemon = argv.empty() ? sim.start(BAYSENTRY_BIN) : sim.start_command(argv);
    return simboard::wait_until([this] { return listening(); },
                                simboard::scaled(30s));
}

bool BayBoard::listening()
{
    auto& bus = sim.client();
    try
    {
        auto names = bus.call_method<std::vector<std::string>>(
            "org.freedesktop.DBus", "/org/freedesktop/DBus",
            "org.freedesktop.DBus", "ListNames");
        for (const auto& name : names)
        {
            if (name.starts_with(':') &&
                bus.call_method<uint32_t>(
                    "org.freedesktop.DBus", "/org/freedesktop/DBus",
                    "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                    name) == static_cast<uint32_t>(daemon->pid()))
            {
                // Answered from the daemon's event loop: its watch is in
                // place and it has handled what this connection sent.
                bus.call_method(name, "/", "org.freedesktop.DBus.Peer", "Ping");
                return true;
            }
        }
    }
    catch (const dbus::error&)
    {}
    return false;
}

void BayBoard::setOsState(const std::string& value)
{
    dbus::set_property(sim.client(),
                       {osService, osPath, osInterface, "OperatingSystemState"},
                       value);
}

void BayBoard::emitOsChange(const std::string& property,
                            const std::string& value)
{
    sim.client().emit_signal(
        osPath, dbus::properties_interface, "PropertiesChanged",
        std::string(osInterface),
        std::map<std::string, std::variant<std::string>>{{property, value}},
        std::vector<std::string>{});
}

std::size_t BayBoard::reads(unsigned bus, std::uint8_t reg)
{
    return sim.i2c().log({bus, std::nullopt, reg}).size();
}

bool BayBoard::waitForReads(unsigned bus, std::uint8_t reg, std::size_t n,
                            std::chrono::milliseconds timeout)
{
    return simboard::wait_until([&] { return reads(bus, reg) >= n; }, timeout);
}

std::vector<std::string> BayBoard::fruCalls() const
{
    return calls_to("xyz.openbmc_project.FruDevice");
}

std::size_t BayBoard::entityRescans() const
{
    auto calls = calls_to("xyz.openbmc_project.EntityManager");
    return std::count(calls.begin(), calls.end(), "ReScan() []");
}

} // namespace baysentry_test
