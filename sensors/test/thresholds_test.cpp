#include "sensors/test/sensor_fixture.hpp"
#include "sensors/thresholds.hpp"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace sensors::test
{
namespace
{

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

struct Asserted
{
    std::string name;
    std::string iface;
    std::string alarm;
    bool asserted;
    double value;

    bool operator==(const Asserted&) const = default;
};

void PrintTo(const Asserted& a, std::ostream* os)
{
    *os << a.name << " " << a.iface << " " << a.alarm << " " << a.asserted
        << " " << a.value;
}

class ThresholdTest : public SensorBusTest
{
  protected:
    /** "ThresholdAsserted" signals of the sensor's object. */
    std::vector<dbus::message>& assertedSignals(const TestSensor& sensor)
    {
        return watch("type='signal',member='ThresholdAsserted',path='" +
                     sensor.path() + "'");
    }

    static Asserted decode(dbus::message& m)
    {
        EXPECT_EQ(m.signature(), "sssbd");
        Asserted a;
        m.read(a.name, a.iface, a.alarm, a.asserted, a.value);
        return a;
    }

    /** Feeds readings and returns the signals they caused. */
    std::vector<Asserted> feed(TestSensor& sensor,
                               std::vector<dbus::message>& signals,
                               std::initializer_list<double> readings)
    {
        const size_t before = signals.size();
        for (double reading : readings)
        {
            sensor.updateReading(reading);
        }
        sync();
        std::vector<Asserted> out;
        for (size_t i = before; i < signals.size(); ++i)
        {
            out.push_back(decode(signals[i]));
        }
        return out;
    }

    bool alarm(const TestSensor& sensor, const char* iface, const char* name)
    {
        return std::get<bool>(get(sensor.path(), iface, name));
    }
};

TEST_F(ThresholdTest, HighAlarmAfterThreeReadingsClearsBelowTheBand)
{
    auto sensor = makeSensor(
        "Warm", {{ThresholdLevel::Warning, ThresholdDirection::High, 70.0}});
    auto& signals = assertedSignals(*sensor);
    const Asserted raised{"Warm", warningIface, "WarningAlarmHigh", true, 71.0};

    EXPECT_TRUE(feed(*sensor, signals, {71, 71}).empty());
    EXPECT_FALSE(alarm(*sensor, warningIface, "WarningAlarmHigh"));
    EXPECT_EQ(feed(*sensor, signals, {71}), std::vector<Asserted>{raised});
    EXPECT_TRUE(alarm(*sensor, warningIface, "WarningAlarmHigh"));
    EXPECT_TRUE(feed(*sensor, signals, {71, 71}).empty());
    // 68 is inside 70 - 2.55 ... 70: nothing; 67 clears at once.
    EXPECT_TRUE(feed(*sensor, signals, {68}).empty());
    EXPECT_TRUE(alarm(*sensor, warningIface, "WarningAlarmHigh"));
    EXPECT_EQ(feed(*sensor, signals, {67}),
              (std::vector<Asserted>{
                  {"Warm", warningIface, "WarningAlarmHigh", false, 67.0}}));
    EXPECT_FALSE(alarm(*sensor, warningIface, "WarningAlarmHigh"));

    // A reading below, or no reading, restarts the count.
    EXPECT_TRUE(feed(*sensor, signals, {71, 65, 71, 71}).empty());
    EXPECT_TRUE(feed(*sensor, signals, {65, 71, 71, nan, 71, 71}).empty());
    EXPECT_FALSE(alarm(*sensor, warningIface, "WarningAlarmHigh"));
}

TEST_F(ThresholdTest, LowAlarmAndCriticalResult)
{
    auto sensor = makeSensor(
        "Cold", {{ThresholdLevel::Critical, ThresholdDirection::Low, 5.0, 1.0},
                 {ThresholdLevel::Warning, ThresholdDirection::High, 70.0}});
    auto& signals = assertedSignals(*sensor);
    feed(*sensor, signals, {5.0, 5.0});
    sensor->value = 5.0; // the third reading, evaluated directly
    EXPECT_FALSE(checkSensorThresholds(sensor.get()));
    sync();
    ASSERT_EQ(signals.size(), 1U);
    EXPECT_EQ(decode(signals[0]),
              (Asserted{"Cold", criticalIface, "CriticalAlarmLow", true, 5.0}));
    // Still asserted: the result says so again, but nothing is sent.
    EXPECT_FALSE(checkSensorThresholds(sensor.get()));
    EXPECT_TRUE(feed(*sensor, signals, {5.9}).empty());
    EXPECT_TRUE(alarm(*sensor, criticalIface, "CriticalAlarmLow"));
    EXPECT_EQ(feed(*sensor, signals, {6.1}),
              (std::vector<Asserted>{
                  {"Cold", criticalIface, "CriticalAlarmLow", false, 6.1}}));
    EXPECT_FALSE(alarm(*sensor, warningIface, "WarningAlarmHigh"));
}

TEST_F(ThresholdTest, MissingAlarmInterfaceIsReportedOnStandardOutput)
{
    auto sensor = makeSensor(
        "NoIface", {{ThresholdLevel::Warning, ThresholdDirection::High, 70.0}});
    CapturedOutput output;
    assertThreshold(sensor.get(), 90.0, ThresholdLevel::Critical,
                    ThresholdDirection::High, true);
    EXPECT_EQ(output.out(), "trying to set uninitialized interface\n");
}

// Run on its own (see meson.build): the log counters are process-wide.
TEST_F(ThresholdTest, AssertLogsStopAfterNinePerDirection)
{
    auto sensor = makeSensor(
        "Noisy", {{ThresholdLevel::Warning, ThresholdDirection::High, 70.0},
                  {ThresholdLevel::Warning, ThresholdDirection::Low, 10.0}});
    CapturedOutput output;
    for (int i = 0; i < 12; ++i)
    {
        sensor->updateReading(80.0);
    }
    // Two readings debounced, ten assert events logged at most nine times.
    EXPECT_EQ(countLines(output.err(), " high threshold "), 9U);
    EXPECT_EQ(output.err().substr(0, output.err().find('\n') + 1),
              "Sensor Noisy high threshold 70 assert: value 80 raw data nan\n");
    for (int i = 0; i < 12; ++i)
    {
        sensor->updateReading(5.0);
    }
    EXPECT_EQ(countLines(output.err(), " low threshold "), 9U);
}

const std::string thresholdsIface = std::string(m2Config) + ".Thresholds";

/** EntityManager with the sensor's configuration object. */
nlohmann::json entityManager(const nlohmann::json& records)
{
    nlohmann::json object = records;
    object[m2Config] = {{"Name", "Stored"}};
    return {{"entity_manager", {{"objects", {{testConfigPath, object}}}}}};
}

nlohmann::json record(const std::string& direction, double severity,
                      double value)
{
    return {{"Direction", direction},
            {"Severity", {"d", severity}},
            {"Value", {"d", value}}};
}

class StoreThresholdTest : public ThresholdTest
{
  protected:
    std::vector<std::string> callsOf(const std::string& member)
    {
        std::vector<std::string> found = calls(" " + member + "(");
        for (std::string& line : found)
        {
            line = line.substr(line.find(member + "("));
        }
        return found;
    }

    double storedValue(const std::string& iface)
    {
        return std::get<double>(get(testConfigPath, iface, "Value",
                                    "xyz.openbmc_project.EntityManager"));
    }
};

TEST_F(StoreThresholdTest, WritesGoToTheRecordsOfTheConfigurationInterface)
{
    startPeers(entityManager(
        {{thresholdsIface + "0", record("greater than", 0, 70)},
         {thresholdsIface + "1", record("greater than", 2, 80)},
         {thresholdsIface + "2", record("less than", 0, 5)}}));
    auto sensor = makeSensor(
        "Stored", {{ThresholdLevel::Warning, ThresholdDirection::High, 70.0},
                   {ThresholdLevel::Critical, ThresholdDirection::High, 80.0},
                   {ThresholdLevel::Warning, ThresholdDirection::Low, 5.0}});

    EXPECT_EQ(set(sensor->path(), warningIface, "WarningHigh", 75.0), "");
    ASSERT_TRUE(runUntil([&] { return callsOf("Set").size() == 1; }));
    const std::vector<std::string> getAll{
        "GetAll(s) [\"" + thresholdsIface + "0\"]",
        "GetAll(s) [\"" + thresholdsIface + "1\"]",
        "GetAll(s) [\"" + thresholdsIface + "2\"]"};
    EXPECT_EQ(callsOf("GetAll"), getAll);
    EXPECT_EQ(storedValue(thresholdsIface + "0"), 75.0);

    // Severity 2 is Critical, as parsing reads it.
    EXPECT_EQ(set(sensor->path(), criticalIface, "CriticalHigh", 85.0), "");
    ASSERT_TRUE(runUntil([&] { return callsOf("Set").size() == 2; }));
    EXPECT_EQ(storedValue(thresholdsIface + "1"), 85.0);
    EXPECT_EQ(storedValue(thresholdsIface + "0"), 75.0);
    EXPECT_EQ(storedValue(thresholdsIface + "2"), 5.0);
    EXPECT_EQ(callsOf("Set")[1],
              "Set(ssv) [\"" + thresholdsIface + "1\",\"Value\",[\"d\",85.0]]");
    EXPECT_TRUE(calls("M2Temp").empty());
}

TEST_F(StoreThresholdTest, FailedAndMalformedRecordsAreReported)
{
    nlohmann::json intValued = record("greater than", 0, 70);
    intValued["Value"] = {"i", 70}; // a Set of a double fails on it
    nlohmann::json noDirection = record("greater than", 0, 70);
    noDirection.erase("Direction");
    startPeers(entityManager({{thresholdsIface + "0", intValued},
                              {thresholdsIface + "1", noDirection}}));
    auto sensor = makeSensor(
        "Failing", {{ThresholdLevel::Warning, ThresholdDirection::High, 70.0},
                    {ThresholdLevel::Warning, ThresholdDirection::Low, 10.0}});
    CapturedOutput output;
    EXPECT_EQ(set(sensor->path(), warningIface, "WarningHigh", 72.0), "");
    ASSERT_TRUE(runUntil([&] {
        return output.err().find("Error setting threshold") !=
               std::string::npos;
    }));
    sync();
    EXPECT_EQ(output.err(), "Malformed threshold in configuration\n"
                            "Error setting threshold system:22\n");
    EXPECT_EQ(sensor->thresholds[0].value, 72.0); // kept in memory
}

TEST_F(StoreThresholdTest, LabelledThresholdsMatchTheirLabel)
{
    nlohmann::json other = record("greater than", 0, 70);
    other["Label"] = "Other";
    nlohmann::json mine = record("greater than", 0, 70);
    mine["Label"] = "Mine";
    startPeers(entityManager(
        {{thresholdsIface + "0", record("greater than", 0, 70)},
         {thresholdsIface + "1", other},
         {thresholdsIface + "2", mine}}));
    TestSensor sensor(*server, conn, "Labelled",
                      {{ThresholdLevel::Warning, ThresholdDirection::High, 70}},
                      false, {});
    sensor.setInitialProperties(conn, "Unit", "Mine", 4);
    CapturedOutput output;
    EXPECT_EQ(set(sensor.path(), warningIface, "WarningHigh", 71.0), "");
    ASSERT_TRUE(runUntil([&] { return callsOf("Set").size() == 1; }));
    EXPECT_EQ(callsOf("GetAll").size(), 4U);
    EXPECT_EQ(storedValue(thresholdsIface + "2"), 71.0);
    EXPECT_EQ(storedValue(thresholdsIface + "1"), 70.0);
    EXPECT_EQ(output.err(), "No label in threshold configuration\n");
}

} // namespace
} // namespace sensors::test
