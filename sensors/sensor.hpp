#pragma once

#include "dbus/connection.hpp"
#include "dbus/dbus_interface.hpp"
#include "sensors/read_state.hpp"
#include "sensors/thresholds.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

/** The base of every published sensor: its D-Bus interfaces, the one path by
 *  which a reading reaches the bus (updateReading), and the threshold and
 *  availability bookkeeping around it.
 *
 *  The derived constructor creates valueInterface, warningInterface (only
 *  with a Warning threshold), criticalInterface (only with a Critical one)
 *  and associationInterface through the object server; setInitialProperties
 *  then registers everything and brings the object onto the bus. */
class Sensor
{
  public:
    /** configType names the sensor type; configInterface is the interface
     *  of the configuration record the sensor came from, after which its
     *  threshold records are named ("<configInterface>.Thresholds<i>"). */
    Sensor(const std::string& name, std::vector<Threshold>&& thresholds,
           const std::string& configPath, const std::string& configType,
           const std::string& configInterface, bool settable, double maxValue,
           double minValue, std::shared_ptr<dbus::connection> connection,
           ReadState readState);
    Sensor(const Sensor&) = delete;
    Sensor& operator=(const Sensor&) = delete;
    virtual ~Sensor() = default;

    virtual void evaluateThresholds() = 0;

    void setInitialProperties(const std::shared_ptr<dbus::connection>& conn,
                              const std::string& unit,
                              const std::string& label = std::string(),
                              size_t thresholdSize = 0);
    /** Publishes a reading; NaN means no valid reading. */
    void updateReading(double newValue);
    void setAvailable(bool available);
    void setFunctional(bool functional);

    std::string name;
    std::string configPath;
    std::string configType;
    std::string configInterface;
    bool settable;
    double maxValue;
    double minValue;
    std::vector<Threshold> thresholds;
    std::shared_ptr<dbus::dbus_interface> valueInterface;
    std::shared_ptr<dbus::dbus_interface> warningInterface;
    std::shared_ptr<dbus::dbus_interface> criticalInterface;
    std::shared_ptr<dbus::dbus_interface> associationInterface;
    std::shared_ptr<dbus::dbus_interface> availabilityInterface;
    std::shared_ptr<dbus::dbus_interface> statusInterface;
    double value;
    double rawReading;
    bool overridden = false;
    bool internalUpdate = false;
    double triggerHysteresis;
    double publishHysteresis;
    std::shared_ptr<dbus::connection> connection;
    ReadState readState;
    uint16_t debounceCount = 0;

  private:
    /** The steps of setInitialProperties. */
    void registerValue(const std::string& unit);
    void registerThresholds(const std::string& label, size_t thresholdSize);
    void initializeInterfaces();
    void addDecorators();
    void registerThreshold(size_t index, const std::string& label,
                           size_t thresholdCount);
    /** Write handlers of the threshold levels, Value and Available. */
    dbus::write_result writeThreshold(size_t index, const std::string& label,
                                      size_t thresholdCount, double requested,
                                      double& stored);
    dbus::write_result guardValueWrite(double requested, double& stored);
    dbus::write_result guardAvailableWrite(bool requested, bool& stored);
    void publishValue(double newValue);
};
