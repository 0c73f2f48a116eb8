// drivetherm on the sample board: "M2 Drive 1" (bus 7, 0x6a, register 1,
// read while the host runs; warning 70, critical 80) and "M2 Drive 2"
// (bus 8, read while the OS is in Standby), both settled 10 s after their
// state was entered and read once a second.
#include "dbus/match.hpp"
#include "simboard/fixture/time_scale.hpp"
#include "simboard/scenario/sample_tracks.hpp"

#include <cmath>
#include <memory>
#include <sstream>

namespace simboard::scenario
{

namespace
{

using namespace std::chrono_literals;

constexpr const char* service = "xyz.openbmc_project.M2Sensor";
constexpr const char* value_interface = "xyz.openbmc_project.Sensor.Value";
constexpr const char* warning_interface =
    "xyz.openbmc_project.Sensor.Threshold.Warning";
constexpr const char* drive1 = "/xyz/openbmc_project/sensors/temperature/"
                               "M2_Drive_1";
constexpr const char* drive2 = "/xyz/openbmc_project/sensors/temperature/"
                               "M2_Drive_2";
constexpr const char* drive1_record =
    "/xyz/openbmc_project/inventory/system/board/Board_1/M2_1";
// Drive 1's warning threshold record (Severity 0, "greater than").
constexpr const char* drive1_warning =
    "xyz.openbmc_project.Configuration.M2Sensor.Thresholds1";

// Drive 1's temperature register, and what the scenario writes there.
constexpr unsigned drive1_bus = 7;
constexpr uint8_t drive1_address = 0x6a;
constexpr uint8_t drive1_register = 1;
constexpr uint8_t hot = 75;
constexpr uint8_t cool = 25;
constexpr double new_warning = 72;

/** A ThresholdAsserted signal of a sensor. */
struct assertion
{
    std::string path;
    std::string alarm;
    bool asserted;
    double value;
};

/** The ThresholdAsserted signals drivetherm sent. */
struct alarm_signals
{
    explicit alarm_signals(dbus::connection& bus) :
        watch(bus,
              std::string("type='signal',sender='") + service +
                  "',member='ThresholdAsserted'",
              [this](dbus::message& m) { record(m); })
    {}

    void record(dbus::message& m)
    {
        std::string name;
        std::string iface;
        std::string alarm;
        bool asserted = false;
        double value = 0;
        m.read(name, iface, alarm, asserted, value);
        seen.push_back({m.path(), alarm, asserted, value});
    }

    bool saw(const std::string& path, const std::string& alarm,
             bool asserted) const
    {
        for (const auto& a : seen)
        {
            if (a.path == path && a.alarm == alarm && a.asserted == asserted)
            {
                return true;
            }
        }
        return false;
    }

    std::vector<assertion> seen;
    dbus::match watch;
};

std::string number(double value)
{
    std::ostringstream text;
    text << value;
    return text.str();
}

double value_of(session& s, const std::string& path)
{
    return s.get<double>(service, path, value_interface, "Value");
}

bool alarm_of(session& s)
{
    return s.get<bool>(service, drive1, warning_interface, "WarningAlarmHigh");
}

void set_drive1(session& s, uint8_t celsius)
{
    s.sim.i2c().write_register(drive1_bus, drive1_address, drive1_register,
                               celsius);
}

step temperatures_appear(session& s)
{
    return {"M.2 temperatures appear as sensors",
            // Both drives settle 10 s after their state was entered; the OS
            // state moves away and back once baysentry is up.
            12s + scaled(20s), nullptr, [&s] {
                for (const char* path : {drive1, drive2})
                {
                    try
                    {
                        if (std::isnan(value_of(s, path)))
                        {
                            return sight::pending();
                        }
                    }
                    catch (const dbus::error&)
                    {
                        return sight::pending(); // not published yet
                    }
                }
                return sight::seen(
                    "M2_Drive_1 Value = " + number(value_of(s, drive1)) +
                    ", M2_Drive_2 Value = " + number(value_of(s, drive2)) +
                    " (degrees C)");
            }};
}

step drive_heats(session& s)
{
    return {"drive 1 reads its heated temperature", 1s + scaled(5s),
            [&s] {
                auto warning = s.get<double>(service, drive1, warning_interface,
                                             "WarningHigh");
                set_drive1(s, hot);
                return "drive 1 heats past WarningHigh " + number(warning) +
                       ": bus 7 0x6a register 1 = " + std::to_string(hot);
            },
            [&s] {
                if (value_of(s, drive1) != hot)
                {
                    return sight::pending();
                }
                return sight::seen("M2_Drive_1 Value = " + std::to_string(hot));
            }};
}

step alarm_rises(session& s, const std::shared_ptr<alarm_signals>& signals)
{
    // The alarm rises on the third reading in a row past the threshold.
    return {"drive 1 reaches WarningAlarmHigh", 2s + scaled(5s), nullptr,
            [&s, signals] {
                if (!alarm_of(s) ||
                    !signals->saw(drive1, "WarningAlarmHigh", true))
                {
                    return sight::pending();
                }
                return sight::seen(
                    "M2_Drive_1 WarningAlarmHigh = true (ThresholdAsserted "
                    "seen)");
            }};
}

step alarm_clears(session& s, const std::shared_ptr<alarm_signals>& signals)
{
    // Below the hysteresis band the alarm clears at the next reading.
    return {"drive 1 cools and WarningAlarmHigh clears", 1s + scaled(5s),
            [&s] {
                set_drive1(s, cool);
                return "drive 1 cools: bus 7 0x6a register 1 = " +
                       std::to_string(cool);
            },
            [&s, signals] {
                if (alarm_of(s) ||
                    !signals->saw(drive1, "WarningAlarmHigh", false))
                {
                    return sight::pending();
                }
                return sight::seen(
                    "M2_Drive_1 WarningAlarmHigh = false (ThresholdAsserted "
                    "seen), Value = " +
                    number(value_of(s, drive1)));
            }};
}

step threshold_stored(session& s)
{
    return {
        "a threshold written over D-Bus is stored at EntityManager",
        scaled(10s),
        [&s] {
            s.set(service, drive1, warning_interface, "WarningHigh",
                  new_warning);
            return "Set M2_Drive_1 WarningHigh = " + number(new_warning) +
                   " over D-Bus";
        },
        [&s] {
            const std::string call = std::string(drive1_record) +
                                     " org.freedesktop.DBus.Properties "
                                     "Set(ssv) [\"" +
                                     drive1_warning + "\",\"Value\"";
            if (session::count(s.sim.peer_calls(), call) == 0)
            {
                return sight::pending();
            }
            auto stored = s.get<double>("xyz.openbmc_project.EntityManager",
                                        drive1_record, drive1_warning, "Value");
            if (stored != new_warning)
            {
                return sight::wrong("EntityManager holds " + number(stored));
            }
            return sight::seen("EntityManager record M2_1 Thresholds1 "
                               "Value = " +
                               number(stored) + " (its Set call recorded)");
        }};
}

} // namespace

track sensor_track(session& s)
{
    auto signals = std::make_shared<alarm_signals>(s.bus());
    return {temperatures_appear(s), drive_heats(s), alarm_rises(s, signals),
            alarm_clears(s, signals), threshold_stored(s)};
}

} // namespace simboard::scenario
