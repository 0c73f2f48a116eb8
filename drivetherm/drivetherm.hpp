#pragma once

#include "dbus/connection.hpp"
#include "dbus/object_server.hpp"
#include "sensors/read_state.hpp"
#include "sensors/sensor.hpp"
#include "sensors/thresholds.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

/** The interface of EntityManager's M.2 records. */
inline constexpr const char* m2ConfigInterface =
    "xyz.openbmc_project.Configuration.M2Sensor";

/** The temperature of one M.2 drive: one byte read over SMBus once a
 *  second and published at /xyz/openbmc_project/sensors/temperature/<name>.
 *
 *  Construction creates the Value, threshold and association interfaces
 *  without putting anything on the bus; the owner then calls
 *  setInitialProperties and armPollTimer. Destruction stops the polling and
 *  takes the object off the bus. */
class Drivetherm : public Sensor
{
  public:
    Drivetherm(boost::asio::io_context& io, dbus::object_server& objectServer,
               std::shared_ptr<dbus::connection> conn,
               const std::string& sensorName,
               std::vector<Threshold>&& sensorThresholds,
               const std::string& sensorConfigPath, uint8_t bus,
               uint8_t address, uint8_t reg, ReadState sensorReadState);
    ~Drivetherm() override;

    void evaluateThresholds() override;

    /** Takes the next reading one second from now. */
    void armPollTimer();
    void onPollTimer(const boost::system::error_code& ec);

    uint8_t bus;
    uint8_t address;
    uint8_t reg;
    dbus::object_server& objectServer;
    boost::asio::steady_timer pollTimer;

  private:
    /** Expires with the sensor. A wait that had already completed when the
     *  sensor went cannot be cancelled any more; its handler checks this
     *  instead of touching a destroyed sensor. */
    std::shared_ptr<int> lifetime = std::make_shared<int>(0);
};

/** Whether the drive answers: 0 when the register could be read and held
 *  0 to 127, -1 otherwise. */
int probeDevice(uint8_t bus, uint8_t address, uint8_t reg);

/** Reads the temperature byte of a drive: 0 to 127, or NaN after printing
 *  why there is no reading. Opens and closes the device once. */
double readTemperature(uint8_t bus, uint8_t address, uint8_t reg);
