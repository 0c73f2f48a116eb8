#include "baysentry/monitor.hpp"

#include "dbus/properties.hpp"
#include "platform/entity_manager.hpp"
#include "platform/log_line.hpp"
#include "platform/tarn_util.hpp"

#include <boost/asio/error.hpp>
#include <boost/container/flat_map.hpp>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <variant>

namespace baysentry
{

namespace
{

constexpr const char* osStateRule =
    "type='signal',interface='org.freedesktop.DBus.Properties',"
    "member='PropertiesChanged',path='/xyz/openbmc_project/state/os'";
constexpr const char* osService = "xyz.openbmc_project.State.OperatingSystem";
constexpr const char* osPath = "/xyz/openbmc_project/state/os";
constexpr const char* osInterface =
    "xyz.openbmc_project.State.OperatingSystem.Status";
constexpr const char* fruService = "xyz.openbmc_project.FruDevice";
constexpr const char* fruPath = "/xyz/openbmc_project/FruDevice";
constexpr const char* fruInterface = "xyz.openbmc_project.FruDeviceManager";
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
        platform::log_format(stderr, "SDBus Error: %s", e.what());
    }
}

/** A text property's value; any other type reads as "". */
using TextValue = std::variant<std::string>;

// Asks the FRU service to rescan one bus, sent as the type of `bus`.
template <typename Bus>
void sendReScanBus(dbus::connection& conn, Bus bus,
                   dbus::connection::reply_handler handler)
{
    guardedCall([&] {
        dbus::message call = conn.new_method_call(fruService, fruPath,
                                                  fruInterface, "ReScanBus");
        call.append(bus);
        conn.async_send(call, std::move(handler));
    });
}

void reportRescanReply(const boost::system::error_code& ec, dbus::message&)
{
    if (ec)
    {
        platform::log_line(stderr, "failed to call ReScanBus");
    }
}

// How a FRU service whose ReScanBus takes a 16-bit bus answers a byte.
bool refusesByte(const dbus::message& reply)
{
    return reply && reply.error_name() == SD_BUS_ERROR_INVALID_ARGS;
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
    dbus::match watch(*conn, osStateRule, [this](dbus::message& signal) {
        onOsStateChanged(signal);
    });
    queryOsState();
    return watch;
}

void Monitor::queryOsState()
{
    dbus::async_get_property<std::string>(
        *conn, {osService, osPath, osInterface, "OperatingSystemState"},
        std::bind_front(&Monitor::onOsStateReply, this));
}

void Monitor::onOsStateReply(const boost::system::error_code& ec,
                             const std::string& state)
{
    if (osStateSignalled)
    {
        return;
    }
    if (ec)
    {
        platform::log_format(stderr, "failed to get OperatingSystemState: %s\n",
                             ec.message().c_str());
        return;
    }
    if (isPostComplete(state))
    {
        startMonitoring();
    }
}

void Monitor::onOsStateChanged(dbus::message& signal)
{
    using Properties = boost::container::flat_map<std::string, TextValue>;
    std::string interface;
    Properties changed;
    signal.read(interface, changed);

    auto state = changed.find("OperatingSystemState");
    if (state == changed.end())
    {
        return;
    }
    osStateSignalled = true;
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
    platform::log_line(stderr, "Get Post Complete, start monitor NVMe present");
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
        platform::log_format(stderr, "Wake-Monitor async_wait failed: %s\n",
                             ec.message().c_str());
    }
    platform::log_line(stderr, "Wake-Monitor timer canceled");
}

void Monitor::rescanBus(uint8_t bus)
{
    if (fruTakesWord)
    {
        sendReScanBus(*conn, uint16_t{bus}, reportRescanReply);
        return;
    }
    sendReScanBus(
        *conn, bus,
        [this, bus](boost::system::error_code ec, dbus::message& reply) {
            onByteRescanReply(bus, ec, reply);
        });
}

// Current FRU services take the bus as "q": the refused bus goes again at
// once, and every later one goes as "q" right away.
void Monitor::onByteRescanReply(uint8_t bus,
                                const boost::system::error_code& ec,
                                const dbus::message& reply)
{
    if (!ec)
    {
        return;
    }
    if (!refusesByte(reply))
    {
        platform::log_line(stderr, "failed to call ReScanBus");
        return;
    }
    if (!fruTakesWord)
    {
        fruTakesWord = true;
        platform::log_line(
            stderr, "ReScanBus: the FRU service takes a 16-bit bus number, "
                    "sending q from now on");
    }
    sendReScanBus(*conn, uint16_t{bus}, reportRescanReply);
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
                platform::log_line(stderr, "failed to call ReScan");
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
        platform::log_format(stderr, "%s:%d, Restart NVMe sensor\n",
                             "operator()", 346);
    });
}

} // namespace baysentry
