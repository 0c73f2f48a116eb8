#include "drivetherm/test/drive_board.hpp"

#include <algorithm>
#include <cmath>
#include <set>
#include <sstream>
#include <tuple>

namespace drivetherm::test
{

namespace
{

using AnyValue = std::variant<std::string, double, bool>;
using PropertyMap = std::map<std::string, AnyValue>;

std::string textOf(const AnyValue& v)
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

std::string sensorPath(const std::string& object)
{
    return "/xyz/openbmc_project/sensors/temperature/" + object;
}

std::string configPath(const std::string& object)
{
    return std::string(boardPath) + "/" + object;
}

json m2Record(const std::string& name, unsigned bus, unsigned address,
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

json thresholdRecord(unsigned severity, const std::string& direction,
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

json i2cFor(const std::vector<Drive>& drives)
{
    std::set<unsigned> buses;
    json devices = json::array();
    for (const Drive& d : drives)
    {
        buses.insert(d.bus);
        devices.push_back({{"bus", d.bus},
                           {"address", d.address},
                           {"kind", "register"},
                           {"registers", {{std::to_string(d.reg), d.value}}}});
    }
    json busList = json::array();
    for (unsigned bus : buses)
    {
        busList.push_back({{"bus", bus}});
    }
    return {{"buses", busList}, {"devices", devices}};
}

json peersFor(const json& objects)
{
    return {{"entity_manager", {{"objects", objects}}},
            {"host", {{"CurrentHostState", hostRunning}}},
            {"os", {{"OperatingSystemState", "Standby"}}}};
}

DriveBoard::DriveBoard(
    const json& description,
    const std::map<std::string, std::string>& extraEnvironment) :
    daemon_board(description),
    environment(extraEnvironment)
{}

bool DriveBoard::start()
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

bool DriveBoard::hasSensor(const std::string& object)
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

bool DriveBoard::waitForSensors(const std::vector<std::string>& objects,
                                std::chrono::milliseconds timeout)
{
    return wait(
        [&] {
            return std::all_of(
                objects.begin(), objects.end(),
                [this](const std::string& o) { return hasSensor(o); });
        },
        timeout);
}

double DriveBoard::value(const std::string& object)
{
    return property<double>(object, valueInterface, "Value");
}

bool DriveBoard::waitForValue(const std::string& object, double expected,
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

void DriveBoard::setRegister(const Drive& d, unsigned value)
{
    sim.i2c().write_register(d.bus, static_cast<uint8_t>(d.address),
                             static_cast<uint8_t>(d.reg),
                             static_cast<uint8_t>(value));
}

void DriveBoard::setHostState(const std::string& state)
{
    dbus::set_property(
        sim.client(),
        {"xyz.openbmc_project.State.Host", "/xyz/openbmc_project/state/host0",
         "xyz.openbmc_project.State.Host", "CurrentHostState"},
        state);
}

void DriveBoard::setOsState(const std::string& state)
{
    dbus::set_property(sim.client(),
                       {"xyz.openbmc_project.State.OperatingSystem",
                        "/xyz/openbmc_project/state/os",
                        "xyz.openbmc_project.State.OperatingSystem.Status",
                        "OperatingSystemState"},
                       state);
}

void DriveBoard::emitChanged(const std::string& config,
                             const std::string& iface)
{
    sim.client().call_method("xyz.openbmc_project.SimBoard",
                             "/xyz/openbmc_project/simboard/entity_manager",
                             "xyz.openbmc_project.SimBoard.EntityManager",
                             "EmitChanged", dbus::object_path{config}, iface);
}

void DriveBoard::emitSignal(const std::string& path,
                            const std::string& signalIface,
                            const std::string& member, const std::string& arg0)
{
    using Properties = std::map<std::string, std::variant<std::string>>;
    dbus::connection& bus = sim.client();
    if (member == "PropertiesChanged")
    {
        bus.emit_signal(path, signalIface, member, arg0, Properties{},
                        std::vector<std::string>{});
    }
    else if (member == "InterfacesAdded")
    {
        bus.emit_signal(path, signalIface, member, dbus::object_path{path},
                        std::map<std::string, Properties>{{arg0, {}}});
    }
    else
    {
        bus.emit_signal(path, signalIface, member, dbus::object_path{path},
                        std::vector<std::string>{arg0});
    }
    bus.flush();
}

std::size_t DriveBoard::passes() const
{
    const auto calls = calls_to("xyz.openbmc_project.EntityManager");
    return static_cast<std::size_t>(
        std::count_if(calls.begin(), calls.end(), [](const std::string& c) {
            return c.starts_with("GetManagedObjects");
        }));
}

std::vector<std::string> DriveBoard::entityManagerCalls() const
{
    std::vector<std::string> calls;
    for (const auto& call : calls_to("xyz.openbmc_project.EntityManager"))
    {
        if (!call.starts_with("GetManagedObjects"))
        {
            calls.push_back(call);
        }
    }
    return calls;
}

boost::asio::io_context& DriveBoard::loop()
{
    auto& io = sim.io();
    if (io.stopped())
    {
        io.restart();
    }
    return io;
}

void DriveBoard::pump(std::chrono::milliseconds time)
{
    loop().run_for(time);
}

bool DriveBoard::wait(const std::function<bool()>& done,
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

std::size_t DriveBoard::countSignals(const std::string& member,
                                     const std::string& path) const
{
    return static_cast<std::size_t>(
        std::count_if(seen.begin(), seen.end(), [&](const SeenSignal& s) {
            return s.member == member && (path.empty() || s.path == path);
        }));
}

void DriveBoard::record(dbus::message& m)
{
    SeenSignal s{m.member(), m.path(), {}};
    if (s.member == "PropertiesChanged")
    {
        std::string iface;
        PropertyMap changed;
        m.read(iface, changed);
        std::vector<std::string> parts{iface};
        for (const auto& [name, v] : changed)
        {
            parts.push_back(name + "=" + textOf(v));
        }
        s.detail = joined(parts);
    }
    else if (s.member == "InterfacesAdded")
    {
        dbus::object_path object;
        std::map<std::string, PropertyMap> interfaces;
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
        s.detail = joined({name, iface, alarm, textOf(asserted), textOf(v)});
    }
    seen.push_back(std::move(s));
}

} // namespace drivetherm::test
