#include "drivetherm/test/drive_board.hpp"

#include "simboard/fixture/time_scale.hpp"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

namespace drivetherm_test
{

namespace
{

constexpr const char* properties = "org.freedesktop.DBus.Properties";
using any_value = std::variant<std::string, double, bool>;
using property_map = std::map<std::string, any_value>;

std::string text_of(const any_value& v)
{
    std::ostringstream out;
    std::visit(
        [&out](const auto& x) {
            if constexpr (std::is_same_v<std::decay_t<decltype(x)>, bool>)
            {
                out << (x ? "true" : "false");
            }
            else
            {
                out << x;
            }
        },
        v);
    return out.str();
}

std::string joined(const std::vector<std::string>& parts)
{
    std::string text;
    for (const auto& part : parts)
    {
        text += (text.empty() ? "" : " ") + part;
    }
    return text;
}

} // namespace

std::string sensor_path(const std::string& object)
{
    return "/xyz/openbmc_project/sensors/temperature/" + object;
}

std::string config_path(const std::string& object)
{
    return std::string(board_path) + "/" + object;
}

json m2_record(const std::string& name, unsigned bus, unsigned address,
               unsigned reg, const std::string& power)
{
    json record = {{"Name", name},
                   {"Type", "M2Sensor"},
                   {"Bus", {"t", bus}},
                   {"Address", {"t", address}},
                   {"Reg", {"t", reg}}};
    if (!power.empty())
    {
        record["PowerState"] = power;
    }
    return record;
}

json threshold_record(unsigned severity, const std::string& direction,
                      double value, std::optional<double> hysteresis)
{
    json record = {{"Direction", direction},
                   {"Severity", {"d", static_cast<double>(severity)}},
                   {"Value", {"d", value}}};
    if (hysteresis)
    {
        record["Hysteresis"] = {"d", *hysteresis};
    }
    return record;
}

json i2c_for(const std::vector<drive>& drives)
{
    std::set<unsigned> buses;
    json devices = json::array();
    for (const drive& d : drives)
    {
        buses.insert(d.bus);
        devices.push_back({{"bus", d.bus},
                           {"address", d.address},
                           {"kind", "register"},
                           {"registers", {{std::to_string(d.reg), d.value}}}});
    }
    json bus_list = json::array();
    for (unsigned bus : buses)
    {
        bus_list.push_back({{"bus", bus}});
    }
    return {{"buses", bus_list}, {"devices", devices}};
}

json peers_for(const json& objects)
{
    return {{"entity_manager", {{"objects", objects}}},
            {"host", {{"CurrentHostState", host_running}}},
            {"os", {{"OperatingSystemState", "Standby"}}}};
}

drive_board::drive_board(
    const json& description,
    const std::map<std::string, std::string>& extra_environment) :
    sim(description),
    environment(extra_environment)
{}

bool drive_board::start()
{
    watch.emplace(sim.client(),
                  std::string("type='signal',sender='") + service + "'",
                  [this](dbus::message& m) { record(m); });
    daemon = sim.start(DRIVETHERM_BIN, environment);
    return wait(
        [this] {
            try
            {
                return sim.client().call_method<bool>(
                    "org.freedesktop.DBus", "/org/freedesktop/DBus",
                    "org.freedesktop.DBus", "NameHasOwner",
                    std::string(service));
            }
            catch (const dbus::error&)
            {
                return false;
            }
        },
        20s);
}

bool drive_board::has_sensor(const std::string& object)
{
    try
    {
        value(object);
        return true;
    }
    catch (const dbus::error&)
    {
        return false;
    }
}

bool drive_board::wait_for_sensors(const std::vector<std::string>& objects,
                                   std::chrono::milliseconds timeout)
{
    return wait(
        [&] {
            return std::all_of(
                objects.begin(), objects.end(),
                [this](const std::string& o) { return has_sensor(o); });
        },
        timeout);
}

double drive_board::value(const std::string& object)
{
    return property<double>(object, value_interface, "Value");
}

bool drive_board::wait_for_value(const std::string& object, double expected,
                                 std::chrono::milliseconds timeout)
{
    return wait(
        [&] {
            try
            {
                const double v = value(object);
                return std::isnan(expected) ? std::isnan(v) : v == expected;
            }
            catch (const dbus::error&)
            {
                return false;
            }
        },
        timeout);
}

void drive_board::set_register(const drive& d, unsigned value)
{
    sim.i2c().write_register(d.bus, static_cast<uint8_t>(d.address),
                             static_cast<uint8_t>(d.reg),
                             static_cast<uint8_t>(value));
}

void drive_board::set_host_state(const std::string& state)
{
    sim.client().call_method(
        "xyz.openbmc_project.State.Host", "/xyz/openbmc_project/state/host0",
        properties, "Set", std::string("xyz.openbmc_project.State.Host"),
        std::string("CurrentHostState"), std::variant<std::string>(state));
}

void drive_board::set_os_state(const std::string& state)
{
    sim.client().call_method(
        "xyz.openbmc_project.State.OperatingSystem",
        "/xyz/openbmc_project/state/os", properties, "Set",
        std::string("xyz.openbmc_project.State.OperatingSystem.Status"),
        std::string("OperatingSystemState"), std::variant<std::string>(state));
}

void drive_board::emit_changed(const std::string& config,
                               const std::string& iface)
{
    sim.client().call_method("xyz.openbmc_project.SimBoard",
                             "/xyz/openbmc_project/simboard/entity_manager",
                             "xyz.openbmc_project.SimBoard.EntityManager",
                             "EmitChanged", dbus::object_path{config}, iface);
}

void drive_board::emit_signal(
    const std::string& path, const std::string& signal_iface,
    const std::string& member, const std::string& arg0)
{
    sd_bus* bus = sim.client().get_bus();
    int r = 0;
    if (member == "PropertiesChanged")
    {
        r = sd_bus_emit_signal(bus, path.c_str(), signal_iface.c_str(),
                               member.c_str(), "sa{sv}as", arg0.c_str(), 0, 0);
    }
    else if (member == "InterfacesAdded")
    {
        r = sd_bus_emit_signal(bus, path.c_str(), signal_iface.c_str(),
                               member.c_str(), "oa{sa{sv}}", path.c_str(), 1,
                               arg0.c_str(), 0);
    }
    else
    {
        r = sd_bus_emit_signal(bus, path.c_str(), signal_iface.c_str(),
                               member.c_str(), "oas", path.c_str(), 1,
                               arg0.c_str());
    }
    if (r < 0)
    {
        throw dbus::error(r, "sd_bus_emit_signal");
    }
    sd_bus_flush(bus);
}

std::size_t drive_board::passes() const
{
    const auto calls = sim.peer_calls();
    return static_cast<std::size_t>(
        std::count_if(calls.begin(), calls.end(), [](const std::string& c) {
            return c.find("GetManagedObjects") != std::string::npos;
        }));
}

std::vector<std::string> drive_board::peer_calls_of(
    const std::string& peer) const
{
    std::vector<std::string> calls;
    for (const auto& call : sim.peer_calls())
    {
        if (call.starts_with(peer + " "))
        {
            calls.push_back(call);
        }
    }
    return calls;
}

std::vector<std::string> drive_board::entity_manager_calls() const
{
    std::vector<std::string> calls;
    for (const auto& call : peer_calls_of("xyz.openbmc_project.EntityManager"))
    {
        if (call.find("GetManagedObjects") == std::string::npos)
        {
            calls.push_back(call);
        }
    }
    return calls;
}

boost::asio::io_context& drive_board::loop()
{
    auto& io = sim.io();
    if (io.stopped())
    {
        io.restart();
    }
    return io;
}

void drive_board::pump(std::chrono::milliseconds time)
{
    loop().run_for(time);
}

bool drive_board::wait(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done())
    {
        if (std::chrono::steady_clock::now() >= deadline)
        {
            return false;
        }
        pump(20ms);
    }
    return true;
}

std::size_t drive_board::count_signals(const std::string& member,
                                       const std::string& path) const
{
    return static_cast<std::size_t>(
        std::count_if(seen.begin(), seen.end(), [&](const seen_signal& s) {
            return s.member == member && (path.empty() || s.path == path);
        }));
}

bool drive_board::saw(const std::string& text, std::size_t n)
{
    daemon->wait_for_count(text, n, simboard::scaled(5s));
    return count(text) == n;
}

std::size_t drive_board::open_fds() const
{
    const auto dir = "/proc/" + std::to_string(daemon->pid()) + "/fd";
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator(dir),
                      std::filesystem::directory_iterator()));
}

long drive_board::resident_kb() const
{
    std::ifstream status("/proc/" + std::to_string(daemon->pid()) + "/status");
    std::string line;
    while (std::getline(status, line))
    {
        if (line.starts_with("VmRSS:"))
        {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

void drive_board::record(dbus::message& m)
{
    seen_signal s{m.member(), m.path(), {}};
    if (s.member == "PropertiesChanged")
    {
        std::string iface;
        property_map changed;
        m.read(iface, changed);
        std::vector<std::string> parts{iface};
        for (const auto& [name, v] : changed)
        {
            parts.push_back(name + "=" + text_of(v));
        }
        s.detail = joined(parts);
    }
    else if (s.member == "InterfacesAdded")
    {
        dbus::object_path object;
        std::map<std::string, property_map> interfaces;
        m.read(object, interfaces);
        s.path = object.str;
        std::vector<std::string> names;
        for (const auto& [name, props] : interfaces)
        {
            names.push_back(name);
        }
        s.detail = joined(names);
    }
    else if (s.member == "InterfacesRemoved")
    {
        dbus::object_path object;
        std::vector<std::string> names;
        m.read(object, names);
        s.path = object.str;
        s.detail = joined(names);
    }
    else if (s.member == "ThresholdAsserted")
    {
        std::string name, iface, alarm;
        bool asserted = false;
        double v = 0;
        m.read(name, iface, alarm, asserted, v);
        s.detail = joined({name, iface, alarm, text_of(asserted), text_of(v)});
    }
    seen.push_back(std::move(s));
}

} // namespace drivetherm_test
