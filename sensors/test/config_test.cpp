#include "sensors/config.hpp"
#include "sensors/sensor_name.hpp"
#include "sensors/test/sensor_fixture.hpp"
#include "sensors/thresholds.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

#include <gtest/gtest.h>

namespace sensors::test
{
namespace
{

using TextList = std::vector<std::string>;
const std::string listType = "std::vector<std::__cxx11::basic_string<char> >";
const std::string textType = "std::__cxx11::basic_string<char>";

template <typename F>
std::string errorOf(F convert, const ConfigValue& value)
{
    try
    {
        convert(value);
    }
    catch (const std::invalid_argument& e)
    {
        return e.what();
    }
    return "no error";
}

TEST(ConversionTest, EveryAlternativeAndItsErrors)
{
    const std::vector<std::pair<ConfigValue, std::string>> texts{
        {std::string("M2 Drive"), "M2 Drive"},
        {int64_t{-263}, "-263"},
        {uint64_t{18446744073709551615U}, "18446744073709551615"},
        {70.0, "70.000000"},
        {int32_t{-7}, "-7"},
        {uint32_t{7}, "7"},
        {int16_t{-32768}, "-32768"},
        {uint16_t{65535}, "65535"},
        {uint8_t{255}, "255"},
        {true, "1"},
        {false, "0"}};
    for (const auto& [value, text] : texts)
    {
        EXPECT_EQ(variantToString(value), text) << value.index();
    }
    // Integers wrap to their low 32 bits, doubles truncate toward zero and
    // saturate outside the range (never the undefined conversion).
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::tuple<ConfigValue, uint32_t, double>> numbers{
        {uint64_t{0x1'0000'0107}, 0x107U, 4294967559.0},
        {int64_t{-1}, 0xFFFFFFFFU, -1.0},
        {int32_t{-2}, 0xFFFFFFFEU, -2.0},
        {int16_t{-1}, 0xFFFFFFFFU, -1.0},
        {uint16_t{65535}, 65535U, 65535.0},
        {uint8_t{106}, 106U, 106.0},
        {uint32_t{7}, 7U, 7.0},
        {true, 1U, 1.0},
        {false, 0U, 0.0},
        {2.9, 2U, 2.9},
        {-3.5, 0U, -3.5},
        {1e12, 0xFFFFFFFFU, 1e12},
        {nan, 0U, nan}};
    for (const auto& [value, number, real] : numbers)
    {
        EXPECT_EQ(variantToUnsigned(value), number) << value.index();
        if (!std::isnan(real))
        {
            EXPECT_EQ(variantToDouble(value), real) << value.index();
        }
    }
    EXPECT_EQ(errorOf(variantToString, TextList{"a"}),
              "Cannot translate type " + listType + " to string");
    EXPECT_EQ(errorOf(variantToUnsigned, std::string("1")),
              "Cannot translate type " + textType + " to unsigned int");
    EXPECT_EQ(errorOf(variantToUnsigned, TextList{}),
              "Cannot translate type " + listType + " to unsigned int");
    EXPECT_EQ(errorOf(variantToDouble, std::string("70")),
              "Cannot translate type " + textType + " to double");
    EXPECT_EQ(errorOf(variantToDouble, TextList{"70"}),
              "Cannot translate type " + listType + " to double");
}

TEST(SensorNameTest, RunsOfOtherCharactersBecomeOneUnderscore)
{
    EXPECT_EQ(escapeSensorName("M.2_Drive-1"), "M_2_Drive_1");
    EXPECT_EQ(escapeSensorName("a..b"), "a_b");
    EXPECT_EQ(escapeSensorName("x/y"), "x/y");
    EXPECT_EQ(escapeSensorName("-lead trail!"), "_lead_trail_");
    EXPECT_EQ(escapeSensorName("Temp \xc2\xb0"
                               "C"),
              "Temp_C");
}

ConfigProperties record(const std::string& direction, ConfigValue severity,
                        ConfigValue value)
{
    return {{"Direction", direction},
            {"Severity", std::move(severity)},
            {"Value", std::move(value)}};
}

const std::string thresholdsIface = std::string(m2Config) + ".Thresholds";

TEST(ParseThresholdsTest, RecordsInInterfaceOrder)
{
    ConfigInterfaces interfaces{
        {m2Config, {{"Name", std::string("M2 Drive 1")}}},
        {thresholdsIface + "2", record("less than", 0.0, uint64_t{5})},
        {thresholdsIface + "10", record("greater than", 2.0, 80.0)},
        {thresholdsIface + "0", record("Less than", uint64_t{0}, int32_t{70})},
    };
    interfaces[thresholdsIface + "2"]["Hysteresis"] = 1.0;
    std::vector<Threshold> thresholds;
    ASSERT_TRUE(parseThresholds(interfaces, thresholds));
    ASSERT_EQ(thresholds.size(), 3U);
    // Thresholds0, Thresholds10, Thresholds2: byte-wise order. Only the
    // exact "less than" is Low; Severity 2 is Critical.
    const auto check = [](const Threshold& t, ThresholdLevel level,
                          ThresholdDirection direction, double value) {
        EXPECT_EQ(t.level, level);
        EXPECT_EQ(t.direction, direction);
        EXPECT_EQ(t.value, value);
    };
    check(thresholds[0], ThresholdLevel::Warning, ThresholdDirection::High, 70);
    check(thresholds[1], ThresholdLevel::Critical, ThresholdDirection::High,
          80);
    check(thresholds[2], ThresholdLevel::Warning, ThresholdDirection::Low, 5);
    EXPECT_TRUE(std::isnan(thresholds[0].hysteresis));
    EXPECT_EQ(thresholds[2].hysteresis, 1.0);
}

TEST(ParseThresholdsTest, FirstIncompleteRecordStopsTheParse)
{
    ConfigInterfaces interfaces{
        {thresholdsIface + "0", record("greater than", 0.0, 70.0)},
        {thresholdsIface + "1",
         {{"Direction", std::string("greater than")}, {"Severity", 1.0}}},
        {thresholdsIface + "2",
         {{"Direction", std::string("less than")}, {"Severity", 0.0}}},
        {thresholdsIface + "3", record("greater than", 1.0, 90.0)},
    };
    std::vector<Threshold> thresholds;
    CapturedOutput output;
    EXPECT_FALSE(parseThresholds(interfaces, thresholds));
    EXPECT_EQ(output.err(), "Malformed threshold on configuration interface " +
                                thresholdsIface + "1\n");
    ASSERT_EQ(thresholds.size(), 1U);
    EXPECT_EQ(thresholds[0].value, 70.0);

    interfaces = {{thresholdsIface + "0",
                   record("greater than", 0.0, std::string("70"))}};
    EXPECT_THROW(parseThresholds(interfaces, thresholds),
                 std::invalid_argument);
}

} // namespace
} // namespace sensors::test
