#include "drivetherm/drivetherm.hpp"

#include "platform/file_descriptor.hpp"
#include "platform/log_line.hpp"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>

extern "C"
{
#include <i2c/smbus.h>
}

#include <boost/algorithm/string/replace.hpp>
#include <boost/asio/error.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <functional>
#include <limits>
#include <string>
#include <utility>

namespace
{

constexpr const char* sensorPathPrefix =
    "/xyz/openbmc_project/sensors/temperature/";
constexpr auto pollInterval = std::chrono::microseconds(1000000);

/** The device file of one bus, opened for one reading or probe. */
platform::file_descriptor openBus(uint8_t bus)
{
    const std::string path = "/dev/i2c-" + std::to_string(bus);
    const int fd = ::open(path.c_str(), O_RDWR);
    if (fd < 0)
    {
        platform::log_line(stderr, " unable to open i2c device" + path +
                                       "  err=" + std::to_string(fd));
    }
    return platform::file_descriptor(fd);
}

/** Selects the drive, even when a kernel driver holds its address. */
bool selectDrive(const platform::file_descriptor& device, uint8_t address)
{
    if (device.get() < 0)
    {
        return false;
    }
    if (::ioctl(device.get(), I2C_SLAVE_FORCE, address) < 0)
    {
        platform::log_line(stderr, " unable to set device address");
        return false;
    }
    return true;
}

/** Whether the adapter reads a byte with a command code. */
bool readsByteData(const platform::file_descriptor& device)
{
    // The kernel stores an unsigned long, a 32-bit BMC kernel 32 bits: a
    // zeroed unsigned long is right for both.
    unsigned long funcs = 0;
    if (::ioctl(device.get(), I2C_FUNCS, &funcs) < 0)
    {
        platform::log_line(stderr, " not support I2C_FUNCS");
        return false;
    }
    if ((funcs & I2C_FUNC_SMBUS_READ_BYTE_DATA) == 0)
    {
        platform::log_line(stderr,
                           " not support I2C_FUNC_SMBUS_READ_BYTE_DATA");
        return false;
    }
    return true;
}

/** The low byte of the register as a signed number: negative for a failed
 *  transfer (after a message) and for bytes 0x80 to 0xFF. */
int8_t readSignedByte(const platform::file_descriptor& device, uint8_t reg)
{
    const int result = i2c_smbus_read_byte_data(device.get(), reg);
    const auto byte = static_cast<int8_t>(static_cast<uint8_t>(result));
    if (byte < 0)
    {
        platform::log_line(stderr,
                           " read byte data failed at " + std::to_string(reg));
    }
    return byte;
}

bool hasLevel(const std::vector<Threshold>& thresholds, ThresholdLevel level)
{
    return std::any_of(
        thresholds.begin(), thresholds.end(),
        [level](const Threshold& t) { return t.level == level; });
}

/** The poll timer's completion, for a sensor that may be gone (`alive`
 *  expired): a wait already completed cannot be cancelled any more. */
void pollWaitDone(Drivetherm* sensor, const std::weak_ptr<int>& alive,
                  const boost::system::error_code& ec)
{
    if (alive.expired())
    {
        return;
    }
    try
    {
        sensor->onPollTimer(ec);
    }
    catch (const std::exception& e)
    {
        // Keep polling: the next reading may well succeed.
        platform::log_line(stderr, "Sensor " + sensor->name +
                                       ": reading failed: " + e.what());
        sensor->armPollTimer();
    }
}

} // namespace

int probeDevice(uint8_t bus, uint8_t address, uint8_t reg)
{
    const platform::file_descriptor device = openBus(bus);
    if (!selectDrive(device, address) || readSignedByte(device, reg) < 0)
    {
        return -1;
    }
    return 0;
}

double readTemperature(uint8_t bus, uint8_t address, uint8_t reg)
{
    const platform::file_descriptor device = openBus(bus);
    if (!selectDrive(device, address) || !readsByteData(device))
    {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const int8_t t = readSignedByte(device, reg);
    return t < 0 ? std::numeric_limits<double>::quiet_NaN()
                 : static_cast<double>(t);
}

Drivetherm::Drivetherm(
    boost::asio::io_context& io, dbus::object_server& objectServer,
    std::shared_ptr<dbus::connection> conn, const std::string& sensorName,
    std::vector<Threshold>&& sensorThresholds,
    const std::string& sensorConfigPath, uint8_t bus, uint8_t address,
    uint8_t reg, ReadState sensorReadState) :
    Sensor(boost::replace_all_copy(sensorName, " ", "_"),
           std::move(sensorThresholds), sensorConfigPath,
           "xyz.openbmc_project.Configuration.M2Temp", m2ConfigInterface, false,
           255, 0, std::move(conn), std::move(sensorReadState)),
    bus(bus), address(address), reg(reg), objectServer(objectServer),
    pollTimer(io)
{
    const std::string path = sensorPathPrefix + name;
    valueInterface =
        objectServer.add_interface(path, "xyz.openbmc_project.Sensor.Value");
    if (hasLevel(thresholds, ThresholdLevel::Warning))
    {
        warningInterface =
            objectServer.add_interface(path, warningThresholdInterface);
    }
    if (hasLevel(thresholds, ThresholdLevel::Critical))
    {
        criticalInterface =
            objectServer.add_interface(path, criticalThresholdInterface);
    }
    associationInterface = objectServer.add_interface(
        path, "xyz.openbmc_project.Association.Definitions");
}

Drivetherm::~Drivetherm()
{
    pollTimer.cancel();
    for (const auto* iface : {&warningInterface, &criticalInterface,
                              &valueInterface, &associationInterface})
    {
        if (*iface)
        {
            objectServer.remove_interface(*iface);
        }
    }
}

void Drivetherm::evaluateThresholds()
{
    checkSensorThresholds(this);
}

void Drivetherm::armPollTimer()
{
    pollTimer.expires_after(pollInterval);
    pollTimer.async_wait(
        std::bind_front(&pollWaitDone, this, std::weak_ptr<int>(lifetime)));
}

void Drivetherm::onPollTimer(const boost::system::error_code& ec)
{
    if (ec == boost::asio::error::operation_aborted)
    {
        return;
    }
    if (ec)
    {
        platform::log_line(stderr, "timer error");
        return;
    }
    if (isGated(readState) && !isReadStateActive(readState))
    {
        updateReading(std::numeric_limits<double>::quiet_NaN());
        armPollTimer();
        return;
    }
    const double t = readTemperature(bus, address, reg);
    if (std::isnan(t))
    {
        platform::log_line(stderr, "Invalid read getM2RegsInfoByte");
    }
    updateReading(t);
    armPollTimer();
}
