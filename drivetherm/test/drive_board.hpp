#pragma once

#include "dbus/error.hpp"
#include "dbus/match.hpp"
#include "dbus/properties.hpp"
#include "simboard/fixture/daemon_board.hpp"
#include "simboard/fixture/process_figures.hpp"

#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

// A simulated board with M.2 drives, their EntityManager records, the host
// and OS state peers and the drivetherm daemon, for tests and the benchmark.
namespace drivetherm::test
{

using namespace std::chrono_literals;
using nlohmann::json;

inline constexpr const char* service = "xyz.openbmc_project.M2Sensor";
inline constexpr const char* m2Interface =
    "xyz.openbmc_project.Configuration.M2Sensor";
inline constexpr const char* valueInterface =
    "xyz.openbmc_project.Sensor.Value";
inline constexpr const char* warningInterface =
    "xyz.openbmc_project.Sensor.Threshold.Warning";
inline constexpr const char* criticalInterface =
    "xyz.openbmc_project.Sensor.Threshold.Critical";
inline constexpr const char* availabilityInterface =
    "xyz.openbmc_project.State.Decorator.Availability";
inline constexpr const char* boardPath =
    "/xyz/openbmc_project/inventory/system/board/Board_1";
inline constexpr const char* hostRunning =
    "xyz.openbmc_project.State.Host.HostState.Running";
inline constexpr const char* hostOff =
    "xyz.openbmc_project.State.Host.HostState.Off";

/** One emulated drive: a register device whose register `reg` holds the
 *  temperature byte `value`. */
struct Drive
{
    unsigned bus = 7;
    unsigned address = 0x6a;
    unsigned reg = 1;
    unsigned value = 25;
};

/** Object path of a sensor whose object name is `object` (already
 *  escaped, e.g. "M2_Drive_1"). */
std::string sensorPath(const std::string& object);
/** Path of a configuration object below the board, e.g. "M2_1". */
std::string configPath(const std::string& object);

/** An M.2 record with typed values; an empty power state leaves the key
 *  out. */
json m2Record(const std::string& name, unsigned bus, unsigned address = 0x6a,
              unsigned reg = 1, const std::string& power = "Always");
/** A threshold record: severity 0 warning, else critical. */
json thresholdRecord(unsigned severity, const std::string& direction,
                     double value,
                     std::optional<double> hysteresis = std::nullopt);

/** Buses and register devices of the drives. */
json i2cFor(const std::vector<Drive>& drives);
/** Host running, OS in standby and EntityManager serving `objects`. */
json peersFor(const json& objects);

/** A signal the daemon sent. For InterfacesAdded and InterfacesRemoved
 *  `path` is the object they announce and `detail` its interfaces; for
 *  PropertiesChanged the interface and "name=value" of each property; for
 *  ThresholdAsserted its five arguments. */
struct SeenSignal
{
    std::string member;
    std::string path;
    std::string detail;
};

class DriveBoard : public simboard::daemon_board
{
  public:
    explicit DriveBoard(
        const json& description,
        const std::map<std::string, std::string>& extraEnvironment = {});

    /** Starts drivetherm; true once it owns its bus name. */
    bool start();
    /** Waits until every named sensor object is on the bus. */
    bool waitForSensors(const std::vector<std::string>& objects,
                        std::chrono::milliseconds timeout = 15s);
    bool hasSensor(const std::string& object);

    template <typename T>
    T property(const std::string& object, const std::string& iface,
               const std::string& name)
    {
        return dbus::get_property<T>(
            sim.client(), {service, sensorPath(object), iface, name});
    }
    /** A Set from the test's connection; the error reply, if any. */
    template <typename T>
    std::optional<dbus::error> setProperty(const std::string& object,
                                           const std::string& iface,
                                           const std::string& name, T value)
    {
        try
        {
            dbus::set_property(sim.client(),
                               {service, sensorPath(object), iface, name},
                               value);
        }
        catch (const dbus::error& e)
        {
            return e;
        }
        return std::nullopt;
    }
    double value(const std::string& object);
    /** Waits until Value equals `expected` (NaN: is NaN). */
    bool waitForValue(const std::string& object, double expected,
                      std::chrono::milliseconds timeout = 10s);

    void setRegister(const Drive& d, unsigned value);
    void setHostState(const std::string& state);
    void setOsState(const std::string& state);
    /** EntityManager announces every property of one record. */
    void emitChanged(const std::string& config, const std::string& iface);
    /** A signal of the test's own: member of `signalIface` at `path` with
     *  one string argument `arg0` (and empty further arguments). */
    void emitSignal(const std::string& path, const std::string& signalIface,
                    const std::string& member, const std::string& arg0);

    /** Discovery passes so far: GetManagedObjects calls EntityManager got. */
    std::size_t passes() const;
    /** Calls EntityManager got other than GetManagedObjects. */
    std::vector<std::string> entityManagerCalls() const;

    /** Processes the test connection's traffic for `time`. */
    void pump(std::chrono::milliseconds time);
    /** Pumps until `done` holds or `timeout` passes. */
    bool wait(const std::function<bool()>& done,
              std::chrono::milliseconds timeout);
    const std::vector<SeenSignal>& signals() const
    {
        return seen;
    }
    /** Forgets the signals seen so far, after taking in those that came
     *  in while a blocking call waited for its reply. */
    void clearSignals()
    {
        loop().poll();
        seen.clear();
    }
    std::size_t countSignals(const std::string& member,
                             const std::string& path = {}) const;

    /** Descriptors the daemon holds and its resident memory in kB. */
    long openFds() const
    {
        return simboard::descriptor_count(daemon->pid());
    }
    long residentKb() const
    {
        return simboard::status_field(daemon->pid(), "VmRSS");
    }

  private:
    void record(dbus::message& m);
    /** The test connection's loop, ready to run again. */
    boost::asio::io_context& loop();

    std::map<std::string, std::string> environment;
    std::optional<dbus::match> watch;
    std::vector<SeenSignal> seen;
};

} // namespace drivetherm::test
