#pragma once

#include "dbus/match.hpp"
#include "dbus/object_server.hpp"
#include "sensors/sensor.hpp"
#include "simboard/peers/peer_set.hpp"

#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

namespace sensors::test
{

inline constexpr const char* valueIface = "xyz.openbmc_project.Sensor.Value";
inline constexpr const char* warningIface =
    "xyz.openbmc_project.Sensor.Threshold.Warning";
inline constexpr const char* criticalIface =
    "xyz.openbmc_project.Sensor.Threshold.Critical";
inline constexpr const char* availabilityIface =
    "xyz.openbmc_project.State.Decorator.Availability";
inline constexpr const char* statusIface =
    "xyz.openbmc_project.State.Decorator.OperationalStatus";
inline constexpr const char* testConfigPath =
    "/xyz/openbmc_project/inventory/system/board/Board_1/M2_Sensor";
inline constexpr const char* m2Config =
    "xyz.openbmc_project.Configuration.M2Sensor";
inline constexpr const char* hostService = "xyz.openbmc_project.State.Host";
inline constexpr const char* hostRunning =
    "xyz.openbmc_project.State.Host.HostState.Running";
inline constexpr const char* hostOff =
    "xyz.openbmc_project.State.Host.HostState.Off";

/** Readable while the host state ends with matchValue. */
ReadState hostReadState(const std::string& matchValue);

/** A sensor as a sensor type builds one: range 0..255, its interfaces
 *  added through the object server, evaluations counted. */
class TestSensor : public Sensor
{
  public:
    TestSensor(dbus::object_server& server,
               std::shared_ptr<dbus::connection> conn, const std::string& name,
               std::vector<Threshold> thresholds, bool settable,
               ReadState readState);
    ~TestSensor() override;
    void evaluateThresholds() override;
    std::string path() const;

    unsigned evaluations = 0;

  private:
    dbus::object_server& server_;
};

/** What standard error and standard output receive while the object
 *  lives (through gtest's capture, as the other tests do). Standard output,
 *  the test's own reports among it, is passed on at the end. */
class CapturedOutput
{
  public:
    CapturedOutput();
    ~CapturedOutput();
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;
    /** What each stream received so far. */
    std::string err();
    std::string out();

  private:
    std::string err_;
    std::string out_;
};

size_t countLines(const std::string& text, const std::string& part);

using PropertyValue = std::variant<
    double, bool, std::string,
    std::vector<std::tuple<std::string, std::string, std::string>>>;

/** A sensor connection with its object server, a client connection and
 *  optionally the fake peers, all on one event loop: calls to the sensor
 *  are asynchronous, as it is served by this very loop. */
class SensorBusTest : public ::testing::Test
{
  protected:
    SensorBusTest();
    ~SensorBusTest() override;

    /** Serves the peers of a "peers" object with a fresh call log. */
    void startPeers(const nlohmann::json& peers);
    /** The peers' call log lines that contain part. */
    std::vector<std::string> calls(const std::string& part) const;

    bool runUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5));
    /** Until everything the sensor sent before has reached the client. */
    void sync();

    /** A client call (to the sensor for an empty service); the reply. */
    dbus::message call(const std::string& service, const std::string& path,
                       const std::string& iface, const std::string& member,
                       const std::function<void(dbus::message&)>& args = {});
    PropertyValue get(const std::string& path, const std::string& iface,
                      const std::string& name, const std::string& service = "");
    /** Properties Set; "" on success, else the error reply's name. */
    std::string set(const std::string& path, const std::string& iface,
                    const std::string& name, const PropertyValue& value,
                    const std::string& service = "");
    /** Every message matching rule, on the client. */
    std::vector<dbus::message>& watch(const std::string& rule);

    std::unique_ptr<TestSensor> makeSensor(
        const std::string& name, std::vector<Threshold> thresholds,
        bool settable = false, ReadState readState = {});

    boost::asio::io_context io;
    std::shared_ptr<dbus::connection> conn;
    std::shared_ptr<dbus::connection> client;
    std::unique_ptr<dbus::object_server> server;

  private:
    std::string logDir_;
    std::unique_ptr<simboard::peers::peer_set> peers_;
    std::vector<std::unique_ptr<std::vector<dbus::message>>> watched_;
    std::vector<dbus::match> matches_;
};

} // namespace sensors::test
