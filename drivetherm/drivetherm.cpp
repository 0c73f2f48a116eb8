#include "drivetherm/drivetherm.hpp"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

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
#include <iostream>
#include <limits>
#include <utility>

namespace
{

constexpr const char* sensorPathPrefix =
    "/xyz/openbmc_project/sensors/temperature/";
constexpr auto pollInterval = std::chrono::microseconds(1000000);

/** The device file of one bus, open for the lifetime of the object. */
class DeviceFile
{
  public:
    explicit DeviceFile(uint8_t bus) :
        path("/dev/i2c-" + std::to_string(bus)),
        fd(::open(path.c_str(), O_RDWR))
    {
        if (fd < 0)
        {
            std::cerr << " unable to open i2c device" << path << "  err=" << fd
                      << "\n";
        }
    }
    DeviceFile(const DeviceFile&) = delete;
    DeviceFile& operator=(const DeviceFile&) = delete;
    ~DeviceFile()
    {
        if (fd >= 0)
        {
            ::close(fd);
        }
    }

    /** Selects the drive, even when a kernel driver holds its address. */
    bool select(uint8_t address) const
    {
        if (fd < 0)
        {
            return false;
        }
        if (::ioctl(fd, I2C_SLAVE_FORCE, address) < 0)
        {
            std::cerr << " unable to set device address\n";
            return false;
        }
        return true;
    }

    /** Whether the adapter reads a byte with a command code. */
    bool readsByteData() const
    {
        // The kernel stores an unsigned long, a 32-bit BMC kernel 32 bits:
        // a zeroed unsigned long is right for both.
        unsigned long funcs = 0;
        if (::ioctl(fd, I2C_FUNCS, &funcs) < 0)
        {
            std::cerr << " not support I2C_FUNCS\n";
            return false;
        }
        if ((funcs & I2C_FUNC_SMBUS_READ_BYTE_DATA) == 0)
        {
            std::cerr << " not support I2C_FUNC_SMBUS_READ_BYTE_DATA\n";
            return false;
        }
        return true;
    }

    /** The low byte of the register as a signed number: negative for a
     *  failed transfer (after a message) and for bytes 0x80 to 0xFF. */
    int8_t readSignedByte(uint8_t reg) const
    {
        const int result = i2c_smbus_read_byte_data(fd, reg);
        const auto byte = static_cast<int8_t>(static_cast<uint8_t>(result));
        if (byte < 0)
        {
            std::cerr << " read byte data failed at " << unsigned{reg} << "\n";
        }
        return byte;
    }

  private:
    std::string path;
    int fd;
};

bool hasLevel(const std::vector<Threshold>& thresholds, ThresholdLevel level)
{
    return std::any_of(
        thresholds.begin(), thresholds.end(),
        [level](const Threshold& t) { return t.level == level; });
}

} // namespace

int probeDevice(uint8_t bus, uint8_t address, uint8_t reg)
{
    DeviceFile device(bus);
    if (!device.select(address) || device.readSignedByte(reg) < 0)
    {
        return -1;
    }
    return 0;
}

double readTemperature(uint8_t bus, uint8_t address, uint8_t reg)
{
    DeviceFile device(bus);
    if (!device.select(address) || !device.readsByteData())
    {
        return std::numeric_limits<double>::quiet_NaN();
    }
    const int8_t t = device.readSignedByte(reg);
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
           "xyz.openbmc_project.Configuration.M2Temp",
           "xyz.openbmc_project.Configuration.M2Sensor", false, 255, 0,
           std::move(conn), std::move(sensorReadState)),
    bus(bus), address(address), reg(reg), objectServer(objectServer),
    pollTimer(io)
{
    const std::string path = sensorPathPrefix + name;
    valueInterface =
        objectServer.add_interface(path, "xyz.openbmc_project.Sensor.Value");
    if (hasLevel(thresholds, ThresholdLevel::Warning))
    {
        warningInterface = objectServer.add_interface(
            path, "xyz.openbmc_project.Sensor.Threshold.Warning");
    }
    if (hasLevel(thresholds, ThresholdLevel::Critical))
    {
        criticalInterface = objectServer.add_interface(
            path, "xyz.openbmc_project.Sensor.Threshold.Critical");
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
    pollTimer.async_wait([this, alive = std::weak_ptr<int>(lifetime)](
                             const boost::system::error_code& ec) {
        if (alive.expired())
        {
            return;
        }
        try
        {
            onPollTimer(ec);
        }
        catch (const std::exception& e)
        {
            // Keep polling: the next reading may well succeed.
            std::cerr << "Sensor " << name << ": reading failed: " << e.what()
                      << "\n";
            armPollTimer();
        }
    });
}

void Drivetherm::onPollTimer(const boost::system::error_code& ec)
{
    if (ec == boost::asio::error::operation_aborted)
    {
        return;
    }
    if (ec)
    {
        std::cerr << "timer error\n";
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
        std::cerr << "Invalid read getM2RegsInfoByte\n";
    }
    updateReading(t);
    armPollTimer();
}
