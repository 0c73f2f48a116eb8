#include "sensors/test/sensor_fixture.hpp"

#include "dbus/properties.hpp"
#include "dbus/test/bus_fixture.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

namespace sensors::test
{

ReadState hostReadState(const std::string& matchValue)
{
    return {hostService, "/xyz/openbmc_project/state/host0", hostService,
            "CurrentHostState", matchValue};
}

TestSensor::TestSensor(
    dbus::object_server& server, std::shared_ptr<dbus::connection> conn,
    const std::string& name, std::vector<Threshold> thresholds, bool settable,
    ReadState readState) :
    Sensor(name, std::move(thresholds), testConfigPath,
           "xyz.openbmc_project.Configuration.M2Temp", m2Config, settable, 255,
           0, std::move(conn), std::move(readState)),
    server_(server)
{
    const auto hasLevel = [this](ThresholdLevel level) {
        return std::any_of(
            this->thresholds.begin(), this->thresholds.end(),
            [level](const Threshold& t) { return t.level == level; });
    };
    valueInterface = server.add_interface(path(), valueIface);
    if (hasLevel(ThresholdLevel::Warning))
    {
        warningInterface = server.add_interface(path(), warningIface);
    }
    if (hasLevel(ThresholdLevel::Critical))
    {
        criticalInterface = server.add_interface(path(), criticalIface);
    }
    associationInterface = server.add_interface(
        path(), "xyz.openbmc_project.Association.Definitions");
}

TestSensor::~TestSensor()
{
    server_.remove_interface(warningInterface);
    server_.remove_interface(criticalInterface);
    server_.remove_interface(valueInterface);
    server_.remove_interface(associationInterface);
}

void TestSensor::evaluateThresholds()
{
    ++evaluations;
    checkSensorThresholds(this);
}

std::string TestSensor::path() const
{
    return "/xyz/openbmc_project/sensors/temperature/" + name;
}

CapturedOutput::CapturedOutput()
{
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
}

CapturedOutput::~CapturedOutput()
{
    testing::internal::GetCapturedStderr();
    out_ += testing::internal::GetCapturedStdout();
    std::fputs(out_.c_str(), stdout);
}

std::string CapturedOutput::err()
{
    err_ += testing::internal::GetCapturedStderr();
    testing::internal::CaptureStderr();
    return err_;
}

std::string CapturedOutput::out()
{
    out_ += testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    return out_;
}

size_t countLines(const std::string& text, const std::string& part)
{
    size_t count = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
    {
        count += line.find(part) != std::string::npos ? 1 : 0;
    }
    return count;
}

SensorBusTest::SensorBusTest() :
    conn(dbus::connection::open(io, dbus::test::bus_address())),
    client(dbus::connection::open(io, dbus::test::bus_address())),
    server(std::make_unique<dbus::object_server>(conn))
{}

SensorBusTest::~SensorBusTest()
{
    peers_.reset();
    if (!logDir_.empty())
    {
        std::filesystem::remove_all(logDir_);
    }
}

void SensorBusTest::startPeers(const nlohmann::json& peers)
{
    std::string dir = "/tmp/sensors-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    logDir_ = dir;
    peers_ = std::make_unique<simboard::peers::peer_set>(
        io, peers,
        simboard::peers::options{dbus::test::bus_address(),
                                 logDir_ + "/calls.log"});
}

std::vector<std::string> SensorBusTest::calls(const std::string& part) const
{
    std::vector<std::string> lines;
    std::ifstream log(logDir_ + "/calls.log");
    for (std::string line; std::getline(log, line);)
    {
        if (line.find(part) != std::string::npos)
        {
            lines.push_back(line);
        }
    }
    return lines;
}

bool SensorBusTest::runUntil(const std::function<bool()>& done,
                             std::chrono::milliseconds timeout)
{
    return dbus::test::run_until(io, done, timeout);
}

void SensorBusTest::sync()
{
    bool seen = false;
    dbus::match marker(*client,
                       "type='signal',member='SyncMarker',sender='" +
                           conn->unique_name() + "'",
                       [&seen](dbus::message&) { seen = true; });
    dbus::dbus_interface beacon(conn, "/sync", "test.Sync");
    beacon.emit_signal("SyncMarker");
    ASSERT_TRUE(runUntil([&] { return seen; }));
}

dbus::message SensorBusTest::call(
    const std::string& service, const std::string& path,
    const std::string& iface, const std::string& member,
    const std::function<void(dbus::message&)>& args)
{
    dbus::message m = client->new_method_call(
        service.empty() ? conn->unique_name() : service, path, iface, member);
    if (args)
    {
        args(m);
    }
    std::optional<dbus::message> reply;
    client->async_send(m, [&reply](boost::system::error_code,
                                   dbus::message& r) { reply = r; });
    EXPECT_TRUE(runUntil([&] { return reply.has_value(); }));
    return reply.value_or(dbus::message());
}

PropertyValue SensorBusTest::get(
    const std::string& path, const std::string& iface, const std::string& name,
    const std::string& service)
{
    dbus::message reply =
        call(service, path, dbus::properties_interface, "Get",
             [&](dbus::message& m) { m.append(iface, name); });
    EXPECT_FALSE(!reply || reply.is_method_error()) << reply.error_name();
    return reply && !reply.is_method_error() ? reply.read<PropertyValue>()
                                             : PropertyValue();
}

std::string SensorBusTest::set(
    const std::string& path, const std::string& iface, const std::string& name,
    const PropertyValue& value, const std::string& service)
{
    dbus::message reply =
        call(service, path, dbus::properties_interface, "Set",
             [&](dbus::message& m) { m.append(iface, name, value); });
    if (!reply)
    {
        return "no reply";
    }
    return reply.is_method_error() ? reply.error_name() : "";
}

std::vector<dbus::message>& SensorBusTest::watch(const std::string& rule)
{
    auto& list =
        *watched_.emplace_back(std::make_unique<std::vector<dbus::message>>());
    matches_.emplace_back(*client, rule, [&list](dbus::message& m) {
        list.push_back(m);
    });
    return list;
}

std::unique_ptr<TestSensor> SensorBusTest::makeSensor(
    const std::string& name, std::vector<Threshold> thresholds, bool settable,
    ReadState readState)
{
    auto sensor =
        std::make_unique<TestSensor>(*server, conn, name, std::move(thresholds),
                                     settable, std::move(readState));
    sensor->setInitialProperties(
        conn, "xyz.openbmc_project.Sensor.Value.Unit.DegreesC");
    return sensor;
}

} // namespace sensors::test
