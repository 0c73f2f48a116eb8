#include "baysentry/monitor.hpp"

#include "baysentry/log.hpp"
#include "platform/entity_manager.hpp"
#include "platform/tarn_util.hpp"

#include <boost/asio/error.hpp>
#include <boost/container/flat_map.hpp>

#include <chrono>
#include <cstdlib>
#include <variant>

namespace baysentry
{

namespace
{

constexpr const char* osStateRule =
    "type='signal',interface='org.freedesktop.DBus.Properties',"
    "member='PropertiesChanged',path='/xyz/openbmc_project/state/os'";
constexpr const char* gpioPulseCommand =
    "gpioset gpiochip0 104=0;usleep 10000;gpioset gpiochip0 104=1";
constexpr const char* stopSensorCommand =
    "systemctl stop xyz.openbmc_project.nvmesensor.service";
constexpr const char* startSensorCommand =
    "systemctl start xyz.openbmc_project.nvmesensor.service";

constexpr auto pollInterval = std::chrono::seconds(2);
constexpr auto sensorRestartDelay = std::chrono::seconds(10);

// Runs a shell command and waits for it; its result.
int runCommand(const char* command)
{
    return std::system(command);
}

// Issues one asynchronous call; a bus error raised while issuing it is
// reported and the caller goes on.
template <typename Issue>
void guardedCall(Issue&& issue)
{
    try
    {
        issue();
    }
    catch (const dbus::error& e)
    {
        logErr("SDBus Error: %s", e.what());
    }
}

} // namespace

bool isPostComplete(const std::string& osState)
{
    return osState == "Standby" ||
           osState ==
               "xyz.openbmc_project.State.OperatingSystem.Status.OSStatus."
               "Standby";
}

Monitor::Monitor(std::shared_ptr<dbus::connection> conn) :
    conn(std::move(conn)), wakeMonitorTimer(this->conn->get_io_context())
{}

dbus::match Monitor::startPostCompleteMonitor()
{
    return dbus::match(*conn, osStateRule, [this](dbus::message& signal) {
        onOsStateChanged(signal);
    });
}

void Monitor::onOsStateChanged(dbus::message& signal)
{
    using Properties =
        boost::container::flat_map<std::string, std::variant<std::string>>;
    std::string interface;
    Properties changed;
    signal.read(interface, changed);

    auto state = changed.find("OperatingSystemState");
    if (state == changed.end())
    {
        return;
    }
    if (isPostComplete(std::get<std::string>(state->second)))
    {
        startMonitoring();
    }
    else
    {
        wakeMonitorTimer.cancel();
    }
}

void Monitor::startMonitoring()
{
    logErr("Get Post Complete, start monitor NVMe present\n");
    const DiscoveryIo io = boardDiscoveryIo();
    for (uint8_t bus : bpnBusList)
    {
        discoverBackplane(bus, backplanes, io);
    }
    runCommand(gpioPulseCommand);
    wakeMonitorTimerStart();
}

void Monitor::wakeMonitorTimerStart()
{
    presence.tick(backplanes, ::i2cGet, *this);
    wakeMonitorTimer.expires_after(pollInterval);
    wakeMonitorTimer.async_wait([this](const boost::system::error_code& ec) {
        onPollTimer(ec);
    });
}

void Monitor::onPollTimer(const boost::system::error_code& ec)
{
    if (!ec)
    {
        wakeMonitorTimerStart();
        return;
    }
    if (ec != boost::asio::error::operation_aborted)
    {
        logErr("Wake-Monitor async_wait failed: %s\n", ec.message().c_str());
    }
    logErr("Wake-Monitor timer canceled\n");
}

void Monitor::rescanBus(uint8_t bus)
{
    guardedCall([this, bus] {
        conn->async_method_call(
            [](boost::system::error_code ec) {
                if (ec)
                {
                    logErr("failed to call ReScanBus\n");
                }
            },
            "xyz.openbmc_project.FruDevice", "/xyz/openbmc_project/FruDevice",
            "xyz.openbmc_project.FruDeviceManager", "ReScanBus", bus);
    });
}

int Monitor::pulseGpio()
{
    return runCommand(gpioPulseCommand);
}

void Monitor::cancelPoll()
{
    wakeMonitorTimer.cancel();
}

void Monitor::stopSensorService()
{
    runCommand(stopSensorCommand);
}

void Monitor::rescanEntities()
{
    guardedCall([this] {
        entity_manager::rescan(*conn, [](boost::system::error_code ec) {
            if (ec)
            {
                logErr("failed to call ReScan\n");
            }
        });
    });
}

void Monitor::scheduleSensorRestart()
{
    if (!restartSensorTimer)
    {
        restartSensorTimer.emplace(conn->get_io_context());
    }
    restartSensorTimer->expires_after(sensorRestartDelay);
    restartSensorTimer->async_wait([](const boost::system::error_code&) {
        runCommand(startSensorCommand);
        logErr("%s:%d, Restart NVMe sensor\n", "operator()", 346);
    });
}

} // namespace baysentry
