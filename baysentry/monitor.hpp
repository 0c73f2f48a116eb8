#pragma once

#include "baysentry/backplane.hpp"
#include "baysentry/presence.hpp"
#include "dbus/connection.hpp"
#include "dbus/match.hpp"

#include <boost/asio/steady_timer.hpp>

#include <memory>
#include <optional>
#include <string>

// The NVMe bay monitor: waits for POST complete, finds the backplanes and
// polls their presence every 2 seconds on the connection's event loop.
namespace baysentry
{

/** True for the OS state that means POST is complete: "Standby", also in
 *  the enumeration's full form. */
bool isPostComplete(const std::string& osState);

class Monitor : private TickActions
{
  public:
    explicit Monitor(std::shared_ptr<dbus::connection> conn);

    /** Watches the OS state: "Standby" starts discovery and polling, any
     *  other state stops the polling. Then asks the state once, so that a
     *  start after POST monitors at once. Keep the match for as long as
     *  the watch should last. */
    dbus::match startPostCompleteMonitor();

    /** Runs one poll and arms the poll timer for the next. */
    void wakeMonitorTimerStart();

  private:
    void onOsStateChanged(dbus::message& signal);
    void queryOsState();
    void onOsStateReply(const boost::system::error_code& ec,
                        const std::string& state);
    void startMonitoring();
    void onPollTimer(const boost::system::error_code& ec);

    void rescanBus(uint8_t bus) override;
    void onByteRescanReply(uint8_t bus, const boost::system::error_code& ec,
                           const dbus::message& reply);
    int pulseGpio() override;
    void cancelPoll() override;
    void stopSensorService() override;
    void rescanEntities() override;
    void scheduleSensorRestart() override;

    std::shared_ptr<dbus::connection> conn;
    Backplanes backplanes;
    PresenceState presence;
    boost::asio::steady_timer wakeMonitorTimer;
    std::optional<boost::asio::steady_timer> restartSensorTimer;
    /** A signal has told the OS state: the start-up query's answer, still
     *  to come, is older. */
    bool osStateSignalled = false;
    /** The FRU service's ReScanBus takes the bus as a 16-bit number. */
    bool fruTakesWord = false;
};

} // namespace baysentry
