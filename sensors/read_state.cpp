#include "sensors/read_state.hpp"

#include "dbus/match.hpp"
#include "dbus/properties.hpp"
#include "platform/log_line.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/container/flat_map.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <stdexcept>
#include <utility>
#include <variant>

namespace
{

constexpr auto settleDelay = std::chrono::seconds(10);
constexpr auto retryDelay = std::chrono::seconds(15);
constexpr int queryRetries = 2;

/** Every watch of the process, by readStateKey. A watch lives until the
 *  process ends: its match, its flag (true while the state holds) and its
 *  own settle timer. Never destroyed, so nothing bound to the event loop
 *  is torn down after the loop at exit. */
struct Watches
{
    std::map<std::string, dbus::match> stateMatches;
    std::map<std::string, bool> stateFlags;
    std::map<std::string, boost::asio::steady_timer> settleTimers;
    std::function<void(const std::string& key)> stateEntered;
};

Watches& watches()
{
    static auto* all = new Watches;
    return *all;
}

/** A text property's value; any other type reads as "". */
using TextValue = std::variant<std::string>;

bool holds(const std::string& text, const std::string& matchValue)
{
    return text.ends_with(matchValue);
}

/** The state of `key` has held for the settle delay. */
void settled(const std::string& key)
{
    Watches& all = watches();
    const bool entered = !std::exchange(all.stateFlags[key], true);
    if (entered && all.stateEntered)
    {
        all.stateEntered(key);
    }
}

void onSettleTimer(const std::string& key, const boost::system::error_code& ec)
{
    if (ec == boost::asio::error::operation_aborted)
    {
        return;
    }
    if (ec)
    {
        platform::log_line(stderr, "Timer error " + ec.message());
        return;
    }
    settled(key);
}

/** Entering the state counts once it has held for the settle delay;
 *  leaving it counts at once. */
void onStateChanged(const std::string& key, const std::string& text,
                    const std::string& matchValue,
                    boost::asio::steady_timer& settleTimer)
{
    if (!holds(text, matchValue))
    {
        settleTimer.cancel();
        watches().stateFlags[key] = false;
        return;
    }
    settleTimer.expires_after(settleDelay);
    settleTimer.async_wait(std::bind_front(&onSettleTimer, key));
}

/** One PropertiesChanged of the watched interface. */
void onPropertiesChanged(
    const std::string& key, const std::string& propertyName,
    const std::string& matchValue, boost::asio::steady_timer& settleTimer,
    dbus::message& m)
{
    std::string interfaceName;
    boost::container::flat_map<std::string, TextValue> changed;
    try
    {
        m.read(interfaceName, changed);
    }
    catch (const dbus::error&)
    {
        return; // not a PropertiesChanged body
    }
    const auto it = changed.find(propertyName);
    if (it != changed.end())
    {
        onStateChanged(key, std::get<0>(it->second), matchValue, settleTimer);
    }
}

void retryQuery(const std::weak_ptr<dbus::connection>& weakConn,
                const ReadState& state, int retries,
                const std::shared_ptr<boost::asio::steady_timer>& /*timer*/,
                const boost::system::error_code& /*ec*/)
{
    if (const auto conn = weakConn.lock())
    {
        queryReadState(conn, state, retries - 1);
    }
}

void onStateAnswer(const std::weak_ptr<dbus::connection>& weakConn,
                   const ReadState& state, int retries,
                   boost::system::error_code ec, const std::string& text)
{
    if (!ec)
    {
        watches().stateFlags[readStateKey(state)] =
            holds(text, state.matchValue);
        return;
    }
    if (retries == 0)
    {
        platform::log_line(stderr,
                           "error getting power status " + ec.message());
        return;
    }
    const std::shared_ptr<dbus::connection> conn = weakConn.lock();
    if (!conn)
    {
        return; // the daemon is going away
    }
    // The timer is bound to its own handler: it lives until it expires.
    auto retryTimer = std::make_shared<boost::asio::steady_timer>(
        conn->get_io_context(), retryDelay);
    retryTimer->async_wait(
        std::bind_front(&retryQuery, weakConn, state, retries, retryTimer));
}

} // namespace

bool isGated(const ReadState& state)
{
    return !state.matchValue.empty() && state.matchValue != "Always";
}

std::string readStateKey(const ReadState& state)
{
    return state.serviceName + state.objectPath + state.interfaceName +
           state.propertyName + state.matchValue;
}

void setupStateMatch(const std::shared_ptr<dbus::connection>& conn,
                     ReadState state)
{
    Watches& all = watches();
    const std::string key = readStateKey(state);
    if (all.stateMatches.contains(key))
    {
        return;
    }
    auto& settleTimer =
        all.settleTimers.try_emplace(key, conn->get_io_context()).first->second;
    const std::string rule =
        "type='signal',interface='" + std::string(dbus::properties_interface) +
        "',path='" + state.objectPath + "',arg0='" + state.interfaceName + "'";
    all.stateMatches.emplace(
        key, dbus::match(*conn, rule,
                         std::bind_front(&onPropertiesChanged, key,
                                         state.propertyName, state.matchValue,
                                         std::ref(settleTimer))));
    queryReadState(conn, state, queryRetries);
}

void setStateEnteredHandler(std::function<void(const std::string& key)> handler)
{
    watches().stateEntered = std::move(handler);
}

bool isReadStateActive(const ReadState& state)
{
    Watches& all = watches();
    const std::string key = readStateKey(state);
    if (!all.stateMatches.contains(key))
    {
        throw std::runtime_error("Power Match Not Created");
    }
    // No flag yet: the state has not been seen to hold.
    const auto flag = all.stateFlags.find(key);
    return flag != all.stateFlags.end() && flag->second;
}

void queryReadState(const std::shared_ptr<dbus::connection>& conn,
                    const ReadState& state, int retries)
{
    // Weak: the pending call is held by the bus of this very connection.
    dbus::async_get_property<std::string>(
        *conn,
        {state.serviceName, state.objectPath, state.interfaceName,
         state.propertyName},
        std::bind_front(&onStateAnswer, std::weak_ptr(conn), state, retries));
}
