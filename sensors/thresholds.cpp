#include "sensors/thresholds.hpp"

#include "platform/entity_manager.hpp"
#include "platform/log_line.hpp"
#include "sensors/sensor.hpp"

#include <boost/container/small_vector.hpp>

#include <algorithm>
#include <cmath>
#include <string>

namespace
{

/** Assert log lines of the process, per direction; at most this many. */
constexpr uint32_t maxAssertLogs = 9;
uint32_t highAssertLogs = 0;
uint32_t lowAssertLogs = 0;

/** Counts an assert event; true while it may still be logged. */
bool countAssertLog(uint32_t& counter)
{
    if (counter >= maxAssertLogs)
    {
        return false;
    }
    ++counter;
    return true;
}

/** The assert line of `threshold`, at most nine times per direction. */
void logAssert(const Sensor& sensor, const Threshold& threshold, double value)
{
    const bool high = threshold.direction == ThresholdDirection::High;
    if (countAssertLog(high ? highAssertLogs : lowAssertLogs))
    {
        platform::log_format(
            stderr, "Sensor %s %s threshold %g assert: value %g raw data %g\n",
            sensor.name.c_str(), high ? "high" : "low", threshold.value, value,
            sensor.rawReading);
    }
}

bool crosses(const Threshold& threshold, double value)
{
    switch (threshold.direction)
    {
        case ThresholdDirection::High:
            return value >= threshold.value;
        case ThresholdDirection::Low:
            return value <= threshold.value;
    }
    return false;
}

/** Back past the hysteresis band: the alarm clears. */
bool clears(const Threshold& threshold, double value)
{
    switch (threshold.direction)
    {
        case ThresholdDirection::High:
            return value < threshold.value - threshold.hysteresis;
        case ThresholdDirection::Low:
            return value > threshold.value + threshold.hysteresis;
    }
    return false;
}

/** Whether the reading is held back: an alarm is raised only by the third
 *  reading in a row beyond some threshold; clearing is not debounced. */
bool debounced(Sensor& sensor, double value)
{
    const bool crossed =
        std::ranges::any_of(sensor.thresholds, [value](const Threshold& t) {
            return crosses(t, value);
        });
    if (!crossed)
    {
        sensor.debounceCount = 0;
        return false;
    }
    if (sensor.debounceCount <= 1)
    {
        ++sensor.debounceCount;
        return true;
    }
    return false;
}

/** The alarm decision of one threshold, if any. */
std::optional<ThresholdChange> changeOf(
    const Sensor& sensor, const Threshold& threshold, double value)
{
    if (threshold.direction != ThresholdDirection::High &&
        threshold.direction != ThresholdDirection::Low)
    {
        platform::log_line(stderr, "Error determining threshold direction");
        return std::nullopt;
    }
    if (crosses(threshold, value))
    {
        logAssert(sensor, threshold, value);
        return ThresholdChange{threshold, true, value};
    }
    if (clears(threshold, value))
    {
        return ThresholdChange{threshold, false, value};
    }
    return std::nullopt;
}

/** EntityManager's encodings of a threshold's level and direction. */
bool severityMatches(ThresholdLevel level, uint32_t severity)
{
    switch (level)
    {
        case ThresholdLevel::Warning:
            return severity == 0;
        case ThresholdLevel::Critical:
            // Parsing reads every non-zero severity as Critical.
            return severity != 0;
    }
    return false;
}

const char* directionText(ThresholdDirection direction)
{
    switch (direction)
    {
        case ThresholdDirection::High:
            return "greater than";
        case ThresholdDirection::Low:
            return "less than";
    }
    return "err";
}

/** Writes the new value into one threshold record when it is the record
 *  of this threshold (same label, severity and direction). */
void storeIfMatching(dbus::connection& conn, const std::string& configPath,
                     const std::string& interface, const Threshold& threshold,
                     const std::string& label, const ConfigProperties& record)
{
    if (!label.empty())
    {
        const auto found = record.find("Label");
        if (found == record.end())
        {
            platform::log_line(stderr, "No label in threshold configuration");
            return;
        }
        if (variantToString(found->second) != label)
        {
            return;
        }
    }
    const auto severity = record.find("Severity");
    const auto value = record.find("Value");
    const auto direction = record.find("Direction");
    if (severity == record.end() || value == record.end() ||
        direction == record.end())
    {
        platform::log_line(stderr, "Malformed threshold in configuration");
        return;
    }
    if (!severityMatches(threshold.level,
                         variantToUnsigned(severity->second)) ||
        variantToString(direction->second) !=
            directionText(threshold.direction))
    {
        return;
    }
    entity_manager::set_threshold_value(
        conn, configPath, interface, threshold.value,
        [](boost::system::error_code ec) {
            if (ec)
            {
                platform::log_format(stderr, "Error setting threshold %s:%d\n",
                                     ec.category().name(), ec.value());
            }
        });
}

} // namespace

std::optional<ThresholdNames> thresholdNames(ThresholdLevel level,
                                             ThresholdDirection direction)
{
    const bool high = direction == ThresholdDirection::High;
    if (!high && direction != ThresholdDirection::Low)
    {
        return std::nullopt;
    }
    switch (level)
    {
        case ThresholdLevel::Warning:
            return high ? ThresholdNames{warningThresholdInterface,
                                         "WarningHigh", "WarningAlarmHigh"}
                        : ThresholdNames{warningThresholdInterface,
                                         "WarningLow", "WarningAlarmLow"};
        case ThresholdLevel::Critical:
            return high ? ThresholdNames{criticalThresholdInterface,
                                         "CriticalHigh", "CriticalAlarmHigh"}
                        : ThresholdNames{criticalThresholdInterface,
                                         "CriticalLow", "CriticalAlarmLow"};
    }
    return std::nullopt;
}

bool parseThresholds(const ConfigInterfaces& interfaces,
                     std::vector<Threshold>& thresholds)
{
    for (const auto& [interface, record] : interfaces)
    {
        if (interface.find("Thresholds") == std::string::npos)
        {
            continue;
        }
        Threshold threshold{};
        const auto hysteresis = record.find("Hysteresis");
        if (hysteresis != record.end())
        {
            threshold.hysteresis = variantToDouble(hysteresis->second);
        }
        const auto direction = record.find("Direction");
        const auto severity = record.find("Severity");
        const auto value = record.find("Value");
        if (value == record.end() || severity == record.end() ||
            direction == record.end())
        {
            platform::log_line(
                stderr,
                "Malformed threshold on configuration interface " + interface);
            return false;
        }
        threshold.level = variantToUnsigned(severity->second) != 0
                              ? ThresholdLevel::Critical
                              : ThresholdLevel::Warning;
        threshold.direction = variantToString(direction->second) == "less than"
                                  ? ThresholdDirection::Low
                                  : ThresholdDirection::High;
        threshold.value = variantToDouble(value->second);
        thresholds.push_back(threshold);
    }
    return true;
}

bool checkSensorThresholds(Sensor* sensor)
{
    const double value = sensor->value;
    if (sensor->thresholds.empty() || debounced(*sensor, value))
    {
        return true;
    }
    // Room for a sensor's usual thresholds: no allocation per reading.
    boost::container::small_vector<ThresholdChange, 4> changes;
    for (const Threshold& threshold : sensor->thresholds)
    {
        if (auto change = changeOf(*sensor, threshold, value))
        {
            changes.push_back(*change);
        }
    }
    bool noCriticalAsserted = true;
    for (const ThresholdChange& change : changes)
    {
        assertThreshold(sensor, change.assertValue, change.threshold.level,
                        change.threshold.direction, change.asserted);
        if (change.threshold.level == ThresholdLevel::Critical &&
            change.asserted)
        {
            noCriticalAsserted = false;
        }
    }
    return noCriticalAsserted;
}

void assertThreshold(Sensor* sensor, double assertValue, ThresholdLevel level,
                     ThresholdDirection direction, bool asserted)
{
    const auto names = thresholdNames(level, direction);
    if (!names)
    {
        platform::log_format(
            stderr, "Unknown threshold, level %udirection %u\n",
            static_cast<uint32_t>(level), static_cast<uint32_t>(direction));
        return;
    }
    const std::shared_ptr<dbus::dbus_interface>& iface =
        level == ThresholdLevel::Warning ? sensor->warningInterface
                                         : sensor->criticalInterface;
    if (!iface)
    {
        platform::log_line(stdout, "trying to set uninitialized interface");
        return;
    }
    if (!iface->set_property(names->alarmProperty, asserted))
    {
        return;
    }
    try
    {
        dbus::message signal = iface->new_signal("ThresholdAsserted");
        signal.append(sensor->name, iface->name(),
                      std::string(names->alarmProperty), asserted, assertValue);
        iface->signal_send(signal);
    }
    catch (const dbus::error&)
    {
        platform::log_line(
            stderr, "Failed to send thresholdAsserted signal with assertValue");
    }
}

void storeThreshold(const std::string& configPath,
                    const std::string& configInterface, Threshold threshold,
                    const std::shared_ptr<dbus::connection>& conn,
                    size_t thresholdCount, const std::string& label)
{
    // Weak: the pending calls are held by the bus of this very connection.
    std::weak_ptr<dbus::connection> weakConn = conn;
    for (size_t i = 0; i < thresholdCount; ++i)
    {
        const std::string interface =
            configInterface + ".Thresholds" + std::to_string(i);
        entity_manager::get_record(
            *conn, configPath, interface,
            [weakConn, configPath, threshold, interface, label](
                boost::system::error_code ec, const ConfigProperties& record) {
                const auto conn = weakConn.lock();
                if (ec || !conn)
                {
                    return; // not a threshold record of this object
                }
                storeIfMatching(*conn, configPath, interface, threshold, label,
                                record);
            });
    }
}
