#pragma once

#include "dbus/connection.hpp"
#include "sensors/config.hpp"

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class Sensor;

enum class ThresholdLevel : uint32_t
{
    Warning = 0,
    Critical = 1,
};

enum class ThresholdDirection : uint32_t
{
    High = 0,
    Low = 1,
};

struct Threshold
{
    ThresholdLevel level;
    ThresholdDirection direction;
    double value;
    /** NaN until the sensor gives it its default. */
    double hysteresis = std::numeric_limits<double>::quiet_NaN();
};

/** The interfaces of the Warning and of the Critical thresholds. */
inline constexpr const char* warningThresholdInterface =
    "xyz.openbmc_project.Sensor.Threshold.Warning";
inline constexpr const char* criticalThresholdInterface =
    "xyz.openbmc_project.Sensor.Threshold.Critical";

/** The D-Bus names of a level/direction pair. */
struct ThresholdNames
{
    const char* interface;
    const char* valueProperty;
    const char* alarmProperty;
};

/** Names of a Warning or Critical, High or Low threshold; nullopt for any
 *  other pair. */
std::optional<ThresholdNames> thresholdNames(ThresholdLevel level,
                                             ThresholdDirection direction);

/** One alarm decision of an evaluation. */
struct ThresholdChange
{
    Threshold threshold;
    bool asserted;
    double assertValue;
};

/** Appends the thresholds of every interface whose name contains
 *  "Thresholds", in map order. False, after a message, at the first
 *  incomplete one (later interfaces are not read). Conversion errors
 *  propagate. */
bool parseThresholds(const ConfigInterfaces& interfaces,
                     std::vector<Threshold>& thresholds);

/** Evaluates the sensor's value against its thresholds (three-reading
 *  debounce, hysteresis on clearing); false when a Critical alarm was
 *  asserted by this evaluation. */
bool checkSensorThresholds(Sensor* sensor);

/** Sets one alarm property; on a real change sends "ThresholdAsserted". */
void assertThreshold(Sensor* sensor, double assertValue, ThresholdLevel level,
                     ThresholdDirection direction, bool asserted);

/** Writes a changed threshold value back to the matching threshold records
 *  ("<configInterface>.Thresholds<i>", i < thresholdCount) of the
 *  configuration object at configPath, asynchronously. */
void storeThreshold(const std::string& configPath,
                    const std::string& configInterface, Threshold threshold,
                    const std::shared_ptr<dbus::connection>& conn,
                    size_t thresholdCount, const std::string& label);
