// Thresholds end to end on the simulated board: a drive that heats past
// its warning threshold and cools again, the bus traffic per reading, and
// threshold values written over D-Bus and stored at EntityManager.
#include "drivetherm/test/drive_board.hpp"

#include <algorithm>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace drivetherm::test;
using testing::Contains;
using testing::HasSubstr;
using testing::Not;

const Drive drive1{7, 0x6a, 1, 25};
const std::string sensor = "M2_Drive_1";
const std::string record = std::string(m2Interface) + ".Thresholds";

json objects()
{
    return {{configPath("M2_1"),
             {{m2Interface, m2Record("M2 Drive 1", 7)},
              {record + "0", thresholdRecord(1, "greater than", 80)},
              {record + "1", thresholdRecord(0, "greater than", 70, 2.55)},
              {record + "2", thresholdRecord(2, "less than", 5)}}}};
}

std::vector<std::string> details(const std::vector<SeenSignal>& signals)
{
    std::vector<std::string> out;
    for (const auto& s : signals)
    {
        out.push_back(s.member + " " + s.detail);
    }
    return out;
}

class Thresholds : public testing::Test
{
  protected:
    Thresholds() :
        b(json{{"i2c", i2cFor({drive1})}, {"peers", peersFor(objects())}})
    {}

    void SetUp() override
    {
        ASSERT_TRUE(b.start()) << b.transcript();
        ASSERT_TRUE(b.waitForValue(sensor, 25)) << b.transcript();
    }

    bool alarm()
    {
        return b.property<bool>(sensor, warningInterface, "WarningAlarmHigh");
    }

    DriveBoard b;
};

TEST_F(Thresholds, WarningAssertsOnTheThirdReadingAndClearsAtOnce)
{
    EXPECT_EQ(b.property<double>(sensor, warningInterface, "WarningHigh"), 70);
    EXPECT_EQ(b.property<double>(sensor, criticalInterface, "CriticalHigh"),
              80);
    EXPECT_EQ(b.property<double>(sensor, criticalInterface, "CriticalLow"), 5);
    EXPECT_FALSE(alarm());

    // Unchanged readings send nothing.
    b.clearSignals();
    b.pump(2500ms);
    EXPECT_THAT(details(b.signals()), testing::IsEmpty());

    b.sim.i2c().clear_log();
    b.setRegister(drive1, 71);
    ASSERT_TRUE(b.waitForValue(sensor, 71));
    EXPECT_FALSE(alarm());
    ASSERT_TRUE(b.wait([&] { return alarm(); }, 5s));
    EXPECT_EQ(b.sim.i2c().log({7, 0x6a, {}}).size(), 3U);
    b.pump(2500ms);
    // One PropertiesChanged for the changed reading; the alarm's change
    // and its signal once.
    EXPECT_THAT(
        details(b.signals()),
        testing::ElementsAre(
            "PropertiesChanged xyz.openbmc_project.Sensor.Value Value=71",
            "PropertiesChanged xyz.openbmc_project.Sensor.Threshold.Warning "
            "WarningAlarmHigh=true",
            "ThresholdAsserted M2_Drive_1 "
            "xyz.openbmc_project.Sensor.Threshold.Warning WarningAlarmHigh "
            "true 71"));

    b.clearSignals();
    b.setRegister(drive1, 67);
    ASSERT_TRUE(b.wait([&] { return !alarm(); }, 5s));
    b.pump(1500ms);
    EXPECT_THAT(
        details(b.signals()),
        testing::ElementsAre(
            "PropertiesChanged xyz.openbmc_project.Sensor.Value Value=67",
            "PropertiesChanged xyz.openbmc_project.Sensor.Threshold.Warning "
            "WarningAlarmHigh=false",
            "ThresholdAsserted M2_Drive_1 "
            "xyz.openbmc_project.Sensor.Threshold.Warning WarningAlarmHigh "
            "false 67"));
    EXPECT_GE(b.count("Sensor M2_Drive_1 high threshold 70 assert: value 71"),
              1U);
}

TEST_F(Thresholds, WrittenThresholdsAreStoredAtEntityManager)
{
    EXPECT_FALSE(b.setProperty(sensor, warningInterface, "WarningHigh", 75.0));
    EXPECT_FALSE(b.setProperty(sensor, criticalInterface, "CriticalLow", 3.0));
    EXPECT_EQ(b.property<double>(sensor, warningInterface, "WarningHigh"), 75);
    const auto stores = [&] {
        const auto calls = b.entityManagerCalls();
        return std::count_if(
            calls.begin(), calls.end(), [](const std::string& c) {
                return c.find("Set(ssv) ") != std::string::npos;
            });
    };
    ASSERT_TRUE(b.wait([&] { return stores() == 2; }, 5s))
        << testing::PrintToString(b.entityManagerCalls());
    const auto calls = b.entityManagerCalls();
    EXPECT_THAT(calls, Contains(HasSubstr("GetAll(s) [\"" + record + "0\"]")));
    EXPECT_THAT(calls, Contains(HasSubstr("Set(ssv) [\"" + record +
                                          "1\",\"Value\",[\"d\",75")));
    // Severity 2 is critical when stored as when parsed.
    EXPECT_THAT(calls, Contains(HasSubstr("Set(ssv) [\"" + record +
                                          "2\",\"Value\",[\"d\",3")));
    EXPECT_THAT(calls, Not(Contains(HasSubstr("M2Temp"))));

    // EntityManager announces the stored values, which starts a pass: the
    // new sensor has them from its records.
    ASSERT_TRUE(b.wait([&] { return b.passes() == 2; }, 5s));
    ASSERT_TRUE(b.waitForValue(sensor, 25));
    EXPECT_EQ(b.property<double>(sensor, warningInterface, "WarningHigh"), 75);
    EXPECT_EQ(b.property<double>(sensor, criticalInterface, "CriticalLow"), 3);
}

TEST_F(Thresholds, ValueCannotBeWrittenFromOutside)
{
    const auto refused = b.setProperty(sensor, valueInterface, "Value", 10.0);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->name(), "org.freedesktop.DBus.Error.AccessDenied");
    EXPECT_TRUE(b.saw("Sensor M2_Drive_1: Not allowed to set property value."));
    EXPECT_EQ(b.value(sensor), 25);
}

} // namespace
