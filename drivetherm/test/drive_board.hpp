#pragma once

#include "dbus/error.hpp"
#include "dbus/match.hpp"
#include "simboard/fixture/board.hpp"

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
namespace drivetherm_test
{

using namespace std::chrono_literals;
using nlohmann::json;

inline constexpr const char* service = "xyz.openbmc_project.M2Sensor";
inline constexpr const char* m2_interface =
    "xyz.openbmc_project.Configuration.M2Sensor";
inline constexpr const char* value_interface =
    "xyz.openbmc_project.Sensor.Value";
inline constexpr const char* warning_interface =
    "xyz.openbmc_project.Sensor.Threshold.Warning";
inline constexpr const char* critical_interface =
    "xyz.openbmc_project.Sensor.Threshold.Critical";
inline constexpr const char* availability_interface =
    "xyz.openbmc_project.State.Decorator.Availability";
inline constexpr const char* board_path =
    "/xyz/openbmc_project/inventory/system/board/Board_1";
inline constexpr const char* host_running =
    "xyz.openbmc_project.State.Host.HostState.Running";
inline constexpr const char* host_off =
    "xyz.openbmc_project.State.Host.HostState.Off";

/** One emulated drive: a register device whose register `reg` holds the
 *  temperature byte `value`. */
struct drive
{
    unsigned bus = 7;
    unsigned address = 0x6a;
    unsigned reg = 1;
    unsigned value = 25;
};

/** Object path of a sensor whose object name is `object` (already
 *  escaped, e.g. "M2_Drive_1"). */
std::string sensor_path(const std::string& object);
/** Path of a configuration object below the board, e.g. "M2_1". */
std::string config_path(const std::string& object);

/** An M.2 record with typed values; an empty power state leaves the key
 *  out. */
json m2_record(const std::string& name, unsigned bus, unsigned address = 0x6a,
               unsigned reg = 1, const std::string& power = "Always");
/** A threshold record: severity 0 warning, else critical. */
json threshold_record(unsigned severity, const std::string& direction,
                      double value,
                      std::optional<double> hysteresis = std::nullopt);

/** Buses and register devices of the drives. */
json i2c_for(const std::vector<drive>& drives);
/** Host running, OS in standby and EntityManager serving `objects`. */
json peers_for(const json& objects);

/** A signal the daemon sent. For InterfacesAdded and InterfacesRemoved
 *  `path` is the object they announce and `detail` its interfaces; for
 *  PropertiesChanged the interface and "name=value" of each property; for
 *  ThresholdAsserted its five arguments. */
struct seen_signal
{
    std::string member;
    std::string path;
    std::string detail;
};

class drive_board
{
  public:
    explicit drive_board(
        const json& description,
        const std::map<std::string, std::string>& extra_environment = {});

    /** Starts drivetherm; true once it owns its bus name. */
    bool start();
    /** Waits until every named sensor object is on the bus. */
    bool wait_for_sensors(const std::vector<std::string>& objects,
                          std::chrono::milliseconds timeout = 15s);
    bool has_sensor(const std::string& object);

    template <typename T>
    T property(const std::string& object, const std::string& iface,
               const std::string& name)
    {
        auto v = sim.client().call_method<std::variant<T>>(
            service, sensor_path(object), "org.freedesktop.DBus.Properties",
            "Get", iface, name);
        return std::get<T>(v);
    }
    /** A Set from the test's connection; the error reply, if any. */
    template <typename T>
    std::optional<dbus::error> set_property(const std::string& object,
                                            const std::string& iface,
                                            const std::string& name, T value)
    {
        try
        {
            sim.client().call_method(service, sensor_path(object),
                                     "org.freedesktop.DBus.Properties", "Set",
                                     iface, name, std::variant<T>(value));
        }
        catch (const dbus::error& e)
        {
            return e;
        }
        return std::nullopt;
    }
    double value(const std::string& object);
    /** Waits until Value equals `expected` (NaN: is NaN). */
    bool wait_for_value(const std::string& object, double expected,
                        std::chrono::milliseconds timeout = 10s);

    void set_register(const drive& d, unsigned value);
    void set_host_state(const std::string& state);
    void set_os_state(const std::string& state);
    /** EntityManager announces every property of one record. */
    void emit_changed(const std::string& config, const std::string& iface);
    /** A signal of the test's own: member of `signal_iface` at `path` with
     *  one string argument `arg0` (and empty further arguments). */
    void emit_signal(const std::string& path, const std::string& signal_iface,
                     const std::string& member, const std::string& arg0);

    /** Discovery passes so far: GetManagedObjects calls EntityManager got. */
    std::size_t passes() const;
    /** Calls EntityManager got other than GetManagedObjects. */
    std::vector<std::string> entity_manager_calls() const;
    std::vector<std::string> peer_calls_of(const std::string& peer) const;

    /** Processes the test connection's traffic for `time`. */
    void pump(std::chrono::milliseconds time);
    /** Pumps until `done` holds or `timeout` passes. */
    bool wait(const std::function<bool()>& done,
              std::chrono::milliseconds timeout);
    const std::vector<seen_signal>& signals() const
    {
        return seen;
    }
    /** Forgets the signals seen so far, after taking in those that came
     *  in while a blocking call waited for its reply. */
    void clear_signals()
    {
        loop().poll();
        seen.clear();
    }
    std::size_t count_signals(const std::string& member,
                              const std::string& path = {}) const;

    std::size_t count(const std::string& text) const
    {
        return daemon->count(text);
    }
    /** Whether exactly n lines hold `text` once output has come through. */
    bool saw(const std::string& text, std::size_t n = 1);
    std::string transcript() const
    {
        return daemon->transcript();
    }
    /** Descriptors the daemon holds and its resident memory in kB. */
    std::size_t open_fds() const;
    long resident_kb() const;

    simboard::board sim;
    std::unique_ptr<simboard::daemon_process> daemon;

  private:
    void record(dbus::message& m);
    /** The test connection's loop, ready to run again. */
    boost::asio::io_context& loop();

    std::map<std::string, std::string> environment;
    std::optional<dbus::match> watch;
    std::vector<seen_signal> seen;
};

} // namespace drivetherm_test
