#include "sensors/sensor.hpp"

#include "platform/log_line.hpp"
#include "sensors/association.hpp"
#include "sensors/sensor_name.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>

namespace
{

constexpr double noReading = std::numeric_limits<double>::quiet_NaN();

/** Puts an interface on the bus; false when the bus refuses it (e.g. an
 *  object of the same name already has it). */
bool tryInitialize(dbus::dbus_interface& iface, bool announceProperties)
{
    try
    {
        iface.initialize(announceProperties);
        return true;
    }
    catch (const dbus::error&)
    {
        return false;
    }
}

dbus::write_result changedIf(bool changed)
{
    return changed ? dbus::write_result::changed
                   : dbus::write_result::unchanged;
}

} // namespace

Sensor::Sensor(const std::string& name, std::vector<Threshold>&& thresholds,
               const std::string& configPath, const std::string& configType,
               const std::string& configInterface, bool settable,
               double maxValue, double minValue,
               std::shared_ptr<dbus::connection> connection,
               ReadState readState) :
    name(escapeSensorName(name)),
    configPath(configPath), configType(configType),
    configInterface(configInterface), settable(settable), maxValue(maxValue),
    minValue(minValue), thresholds(std::move(thresholds)), value(noReading),
    rawReading(noReading), triggerHysteresis((maxValue - minValue) * 0.01),
    publishHysteresis((maxValue - minValue) * 0.0001),
    connection(std::move(connection)), readState(std::move(readState))
{}

void Sensor::setInitialProperties(
    const std::shared_ptr<dbus::connection>& conn, const std::string& unit,
    const std::string& label, size_t thresholdSize)
{
    if (isGated(readState))
    {
        setupStateMatch(conn, readState);
    }
    try
    {
        publishAssociation(associationInterface, configPath);
    }
    catch (const dbus::error&)
    {
        // Another object has this path: reported with the value interface.
    }
    registerValue(unit);
    registerThresholds(label, thresholdSize);
    initializeInterfaces();
    addDecorators();
}

void Sensor::registerValue(const std::string& unit)
{
    valueInterface->register_property("Unit", unit);
    valueInterface->register_property("MaxValue", maxValue);
    valueInterface->register_property("MinValue", minValue);
    valueInterface->register_property(
        "Value", value, std::bind_front(&Sensor::guardValueWrite, this));
}

void Sensor::registerThresholds(const std::string& label, size_t thresholdSize)
{
    const size_t thresholdCount =
        label.empty() ? thresholds.size() : thresholdSize;
    for (size_t index = 0; index < thresholds.size(); ++index)
    {
        registerThreshold(index, label, thresholdCount);
    }
    // Declared so that clients find it by introspection: (sensor name,
    // interface, alarm property, asserted, value).
    for (const auto& iface : {warningInterface, criticalInterface})
    {
        if (iface)
        {
            iface->register_signal<std::string, std::string, std::string, bool,
                                   double>("ThresholdAsserted");
        }
    }
}

void Sensor::initializeInterfaces()
{
    if (!tryInitialize(*valueInterface, true))
    {
        platform::log_line(stderr, "error initializing value interface");
    }
    if (warningInterface && !tryInitialize(*warningInterface, false))
    {
        platform::log_line(stderr,
                           "error initializing warning threshold interface");
    }
    if (criticalInterface && !tryInitialize(*criticalInterface, false))
    {
        platform::log_line(stderr,
                           "error initializing critical threshold interface");
    }
}

// These two fail only where the value interface did, which is reported.
void Sensor::addDecorators()
{
    if (!availabilityInterface)
    {
        availabilityInterface = std::make_shared<dbus::dbus_interface>(
            connection, valueInterface->path(),
            "xyz.openbmc_project.State.Decorator.Availability");
        availabilityInterface->register_property(
            "Available", true,
            std::bind_front(&Sensor::guardAvailableWrite, this));
        tryInitialize(*availabilityInterface, false);
    }
    if (!statusInterface)
    {
        statusInterface = std::make_shared<dbus::dbus_interface>(
            connection, valueInterface->path(),
            "xyz.openbmc_project.State.Decorator.OperationalStatus");
        statusInterface->register_property("Functional", true);
        tryInitialize(*statusInterface, false);
    }
}

void Sensor::registerThreshold(size_t index, const std::string& label,
                               size_t thresholdCount)
{
    Threshold& threshold = thresholds[index];
    if (std::isnan(threshold.hysteresis))
    {
        threshold.hysteresis = triggerHysteresis;
    }
    const auto names = thresholdNames(threshold.level, threshold.direction);
    if (!names)
    {
        platform::log_format(stderr, "Unknown threshold level%u\n",
                             static_cast<uint32_t>(threshold.level));
        return;
    }
    const std::shared_ptr<dbus::dbus_interface>& iface =
        threshold.level == ThresholdLevel::Warning
            ? warningInterface
            : criticalInterface;
    if (!iface)
    {
        platform::log_line(stdout, "trying to set uninitialized interface");
        return;
    }
    // A second threshold of the same level and direction shares the
    // properties of the first; registering them twice would fail.
    const auto sameKind = [&threshold](const Threshold& other) {
        return other.level == threshold.level &&
               other.direction == threshold.direction;
    };
    if (std::any_of(thresholds.begin(),
                    thresholds.begin() + static_cast<std::ptrdiff_t>(index),
                    sameKind))
    {
        return;
    }
    iface->register_property(names->valueProperty, threshold.value,
                             std::bind_front(&Sensor::writeThreshold, this,
                                             index, label, thresholdCount));
    iface->register_property(names->alarmProperty, false);
}

dbus::write_result Sensor::writeThreshold(
    size_t index, const std::string& label, size_t thresholdCount,
    double requested, double& stored)
{
    const double before = stored;
    stored = requested;
    thresholds[index].value = requested;
    storeThreshold(configPath, configInterface, thresholds[index], connection,
                   thresholdCount, label);
    // The next reading is published and evaluated even when unchanged.
    value = noReading;
    return changedIf(before != stored);
}

dbus::write_result Sensor::guardValueWrite(double requested, double& stored)
{
    const double before = stored;
    if (internalUpdate)
    {
        if (!overridden)
        {
            stored = requested;
        }
        return changedIf(!(before == stored));
    }
    if (!settable)
    {
        platform::log_line(stderr, "Sensor " + name +
                                       ": Not allowed to set property value.");
        return dbus::write_result::denied;
    }
    stored = requested;
    overridden = true;
    value = requested;
    evaluateThresholds();
    return changedIf(!(before == stored));
}

dbus::write_result Sensor::guardAvailableWrite(bool requested, bool& stored)
{
    if (requested == stored)
    {
        return dbus::write_result::unchanged;
    }
    stored = requested;
    if (!requested)
    {
        updateReading(noReading);
    }
    return dbus::write_result::changed;
}

void Sensor::publishValue(double newValue)
{
    if (!valueInterface)
    {
        return;
    }
    try
    {
        valueInterface->set_property("Value", newValue);
    }
    catch (const dbus::error&)
    {
        platform::log_format(stderr, "error setting property Value to %g\n",
                             newValue);
    }
}

void Sensor::updateReading(double newValue)
{
    if (overridden)
    {
        return;
    }
    if (std::isnan(newValue))
    {
        newValue = noReading; // whatever its sign: printed as "nan"
    }
    if (isGated(readState) && !isReadStateActive(readState))
    {
        if (availabilityInterface)
        {
            availabilityInterface->set_property("Available", false);
        }
        internalUpdate = true;
        value = noReading;
        publishValue(value);
        internalUpdate = false;
        return;
    }

    internalUpdate = true;
    if (std::isnan(value) || std::isnan(newValue) ||
        std::abs(value - newValue) > publishHysteresis)
    {
        value = newValue;
        publishValue(newValue);
    }
    internalUpdate = false;

    evaluateThresholds();

    if (!std::isnan(newValue))
    {
        setFunctional(true);
        setAvailable(true);
    }
}

void Sensor::setAvailable(bool available)
{
    if (availabilityInterface)
    {
        availabilityInterface->set_property("Available", available);
    }
}

void Sensor::setFunctional(bool functional)
{
    if (statusInterface)
    {
        statusInterface->set_property("Functional", functional);
    }
}
