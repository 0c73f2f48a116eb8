#include "sensors/test/sensor_fixture.hpp"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace sensors::test
{
namespace
{

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
using Associations =
    std::vector<std::tuple<std::string, std::string, std::string>>;

double valueOf(const PropertyValue& v)
{
    return std::get<double>(v);
}

class SensorObjectTest : public SensorBusTest
{
  protected:
    std::string introspect(const std::string& path)
    {
        dbus::message reply =
            call("", path, "org.freedesktop.DBus.Introspectable", "Introspect");
        return reply ? reply.read<std::string>() : "";
    }

    /** PropertiesChanged of Value on path, as the client sees them. */
    std::vector<dbus::message>& valueChanges(const std::string& path)
    {
        sync(); // past the announcement of the new object
        return watch("type='signal',member='PropertiesChanged',path='" + path +
                     "',arg0='" + valueIface + "'");
    }
};

TEST_F(SensorObjectTest, InterfacesPropertiesAndInitialValues)
{
    auto sensor = makeSensor(
        "M2_Drive-1",
        {{ThresholdLevel::Warning, ThresholdDirection::High, 70.0},
         {ThresholdLevel::Critical, ThresholdDirection::High, 80.0, 1.5},
         {ThresholdLevel::Warning, ThresholdDirection::Low, 5.0}});
    const std::string path = "/xyz/openbmc_project/sensors/temperature/"
                             "M2_Drive_1";
    ASSERT_EQ(sensor->path(), path);
    EXPECT_EQ(sensor->triggerHysteresis, 2.5500000000000003);
    EXPECT_EQ(sensor->publishHysteresis, 0.025500000000000002);
    EXPECT_EQ(sensor->thresholds[0].hysteresis, sensor->triggerHysteresis);
    EXPECT_EQ(sensor->thresholds[1].hysteresis, 1.5);

    // Every property with its type and access, all announcing changes
    // (the default: no EmitsChangedSignal annotation).
    const std::string xml = introspect(path);
    EXPECT_EQ(xml.find("EmitsChangedSignal"), std::string::npos);
    EXPECT_EQ(xml.find("CriticalLow"), std::string::npos);
    // Declared on both threshold interfaces.
    const std::string signal = "<signal name=\"ThresholdAsserted\">";
    const auto first = xml.find(signal);
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(xml.find(signal, first + 1), std::string::npos);
    for (const char* property :
         {"Unit\" type=\"s\" access=\"read\"",
          "MaxValue\" type=\"d\" access=\"read\"",
          "MinValue\" type=\"d\" access=\"read\"",
          "Value\" type=\"d\" access=\"readwrite\"",
          "WarningHigh\" type=\"d\" access=\"readwrite\"",
          "WarningLow\" type=\"d\" access=\"readwrite\"",
          "CriticalHigh\" type=\"d\" access=\"readwrite\"",
          "WarningAlarmHigh\" type=\"b\" access=\"read\"",
          "WarningAlarmLow\" type=\"b\" access=\"read\"",
          "CriticalAlarmHigh\" type=\"b\" access=\"read\"",
          "Associations\" type=\"a(sss)\" access=\"read\"",
          "Available\" type=\"b\" access=\"readwrite\"",
          "Functional\" type=\"b\" access=\"read\""})
    {
        EXPECT_NE(xml.find(std::string("<property name=\"") + property),
                  std::string::npos)
            << property;
    }

    EXPECT_TRUE(std::isnan(valueOf(get(path, valueIface, "Value"))));
    EXPECT_EQ(valueOf(get(path, valueIface, "MaxValue")), 255.0);
    EXPECT_EQ(valueOf(get(path, valueIface, "MinValue")), 0.0);
    EXPECT_EQ(std::get<std::string>(get(path, valueIface, "Unit")),
              "xyz.openbmc_project.Sensor.Value.Unit.DegreesC");
    EXPECT_EQ(valueOf(get(path, warningIface, "WarningHigh")), 70.0);
    EXPECT_EQ(valueOf(get(path, warningIface, "WarningLow")), 5.0);
    EXPECT_EQ(valueOf(get(path, criticalIface, "CriticalHigh")), 80.0);
    EXPECT_FALSE(std::get<bool>(get(path, warningIface, "WarningAlarmLow")));
    EXPECT_FALSE(std::get<bool>(get(path, criticalIface, "CriticalAlarmHigh")));
    EXPECT_TRUE(std::get<bool>(get(path, availabilityIface, "Available")));
    EXPECT_TRUE(std::get<bool>(get(path, statusIface, "Functional")));
    EXPECT_EQ(std::get<Associations>(
                  get(path, "xyz.openbmc_project.Association.Definitions",
                      "Associations")),
              (Associations{{"chassis", "all_sensors",
                             "/xyz/openbmc_project/inventory/system/board/"
                             "Board_1"}}));
}

TEST_F(SensorObjectTest, WithoutThresholdsNoThresholdInterfaces)
{
    auto sensor = makeSensor("Plain", {});
    const std::string xml = introspect(sensor->path());
    EXPECT_EQ(xml.find("Threshold"), std::string::npos);
    EXPECT_NE(xml.find(statusIface), std::string::npos);
}

TEST_F(SensorObjectTest, ReadingsArePublishedBeyondTheHysteresisOnly)
{
    auto sensor = makeSensor("Publish", {});
    auto& changes = valueChanges(sensor->path());
    sensor->updateReading(40.0);  // first reading: always
    sensor->updateReading(40.02); // within 0.0255: not published
    sensor->updateReading(40.0);
    sync();
    EXPECT_EQ(changes.size(), 1U);
    sensor->updateReading(40.03); // beyond: published
    sync();
    ASSERT_EQ(changes.size(), 2U);
    EXPECT_EQ(valueOf(get(sensor->path(), valueIface, "Value")), 40.03);
    EXPECT_EQ(sensor->evaluations, 4U); // every reading is evaluated

    sensor->updateReading(nan); // NaN is always a change
    sensor->updateReading(-nan);
    EXPECT_FALSE(std::signbit(sensor->value)); // printed as "nan"
    sync();
    EXPECT_EQ(changes.size(), 4U);
    EXPECT_TRUE(std::isnan(valueOf(get(sensor->path(), valueIface, "Value"))));
    EXPECT_TRUE(
        std::get<bool>(get(sensor->path(), availabilityIface, "Available")));
    EXPECT_TRUE(std::get<bool>(get(sensor->path(), statusIface, "Functional")));
    sensor->updateReading(41.0);
    EXPECT_EQ(valueOf(get(sensor->path(), valueIface, "Value")), 41.0);
}

TEST_F(SensorObjectTest, OutsideValueWriteOnANonSettableSensorIsDenied)
{
    auto sensor = makeSensor("Locked", {});
    sensor->updateReading(30.0);
    auto& changes = valueChanges(sensor->path());
    CapturedOutput output;
    EXPECT_EQ(set(sensor->path(), valueIface, "Value", 99.0),
              "org.freedesktop.DBus.Error.AccessDenied");
    EXPECT_EQ(output.err(),
              "Sensor Locked: Not allowed to set property value.\n");
    EXPECT_EQ(valueOf(get(sensor->path(), valueIface, "Value")), 30.0);
    sync();
    EXPECT_TRUE(changes.empty());
    EXPECT_FALSE(sensor->overridden);
    sensor->updateReading(31.0); // readings still go through
    EXPECT_EQ(valueOf(get(sensor->path(), valueIface, "Value")), 31.0);
}

TEST_F(SensorObjectTest, OutsideValueWriteOverridesASettableSensor)
{
    auto sensor = makeSensor(
        "Settable", {{ThresholdLevel::Warning, ThresholdDirection::High, 70.0}},
        true);
    sensor->updateReading(30.0);
    EXPECT_EQ(set(sensor->path(), valueIface, "Value", 75.0), "");
    EXPECT_TRUE(sensor->overridden);
    EXPECT_EQ(sensor->value, 75.0);
    EXPECT_EQ(sensor->evaluations, 2U);
    EXPECT_EQ(sensor->debounceCount, 1U); // 75 beyond 70: counted
    sensor->updateReading(20.0);          // ignored from now on
    EXPECT_EQ(sensor->evaluations, 2U);
    EXPECT_EQ(valueOf(get(sensor->path(), valueIface, "Value")), 75.0);
}

TEST_F(SensorObjectTest, AvailableWrittenFalsePublishesNaNOnce)
{
    auto sensor = makeSensor("Avail", {});
    sensor->updateReading(30.0);
    auto& changes = valueChanges(sensor->path());
    EXPECT_EQ(set(sensor->path(), availabilityIface, "Available", false), "");
    EXPECT_TRUE(std::isnan(valueOf(get(sensor->path(), valueIface, "Value"))));
    EXPECT_FALSE(
        std::get<bool>(get(sensor->path(), availabilityIface, "Available")));
    EXPECT_EQ(set(sensor->path(), availabilityIface, "Available", false), "");
    sync();
    EXPECT_EQ(changes.size(), 1U);
    sensor->updateReading(30.0); // a valid reading makes it available again
    EXPECT_TRUE(
        std::get<bool>(get(sensor->path(), availabilityIface, "Available")));
    EXPECT_EQ(valueOf(get(sensor->path(), valueIface, "Value")), 30.0);
}

TEST_F(SensorObjectTest, ThresholdWriteMakesTheNextReadingRepublish)
{
    startPeers({{"entity_manager", {{"objects", nlohmann::json::object()}}}});
    auto sensor = makeSensor(
        "Rewrite", {{ThresholdLevel::Warning, ThresholdDirection::High, 70.0}});
    sensor->updateReading(40.0);
    auto& changes = valueChanges(sensor->path());
    EXPECT_EQ(set(sensor->path(), warningIface, "WarningHigh", 60.0), "");
    EXPECT_EQ(sensor->thresholds[0].value, 60.0);
    EXPECT_EQ(valueOf(get(sensor->path(), warningIface, "WarningHigh")), 60.0);
    EXPECT_EQ(valueOf(get(sensor->path(), valueIface, "Value")), 40.0);
    EXPECT_EQ(sensor->evaluations, 1U); // not evaluated by the write
    // Within the publish hysteresis of 40.0, and yet published.
    sensor->updateReading(40.01);
    sync();
    EXPECT_EQ(changes.size(), 1U);
    EXPECT_EQ(valueOf(get(sensor->path(), valueIface, "Value")), 40.01);
    EXPECT_EQ(sensor->evaluations, 2U);
}

TEST_F(SensorObjectTest, ThresholdsOfTheSameKindShareTheirProperties)
{
    auto sensor = makeSensor(
        "Twice", {{ThresholdLevel::Warning, ThresholdDirection::High, 70.0},
                  {ThresholdLevel::Warning, ThresholdDirection::High, 60.0}});
    EXPECT_EQ(valueOf(get(sensor->path(), warningIface, "WarningHigh")), 70.0);
    EXPECT_EQ(sensor->thresholds[1].hysteresis, sensor->triggerHysteresis);
    for (int i = 0; i < 3; ++i)
    {
        sensor->updateReading(65.0); // beyond the second one only
    }
    EXPECT_TRUE(
        std::get<bool>(get(sensor->path(), warningIface, "WarningAlarmHigh")));
}

TEST_F(SensorObjectTest, CollidingNamesReportTheValueInterface)
{
    auto first = makeSensor("Drive-1", {});
    CapturedOutput output;
    auto second = makeSensor("Drive 1", {}); // escapes to the same path
    EXPECT_EQ(output.err(), "error initializing value interface\n");
    second.reset();
    first->updateReading(20.0);
    EXPECT_EQ(valueOf(get(first->path(), valueIface, "Value")), 20.0);
}

} // namespace
} // namespace sensors::test
