#include "sensors/read_state.hpp"

#include "dbus/match.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/container/flat_map.hpp>

#include <chrono>
#include <iostream>
#include <map>
#include <stdexcept>
#include <utility>
#include <variant>

namespace
{

constexpr auto settleDelay = std::chrono::seconds(10);
constexpr auto retryDelay = std::chrono::seconds(15);
constexpr int queryRetries = 2;
constexpr const char* propertiesInterface = "org.freedesktop.DBus.Properties";

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
    settleTimer.async_wait([key](const boost::system::error_code& ec) {
        if (ec == boost::asio::error::operation_aborted)
        {
            return;
        }
        if (ec)
        {
            std::cerr << "Timer error " << ec.message() << "\n";
            return;
        }
        settled(key);
    });
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
        "type='signal',interface='" + std::string(propertiesInterface) +
        "',path='" + state.objectPath + "',arg0='" + state.interfaceName + "'";
    all.stateMatches.emplace(
        key,
        dbus::match(
            *conn, rule,
            [key, propertyName = state.propertyName,
             matchValue = state.matchValue, &settleTimer](dbus::message& m) {
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
                    onStateChanged(key, std::get<0>(it->second), matchValue,
                                   settleTimer);
                }
            }));
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
    std::weak_ptr<dbus::connection> weakConn = conn;
    conn->async_method_call<TextValue>(
        [weakConn, state,
         retries](boost::system::error_code ec, const TextValue& reply) {
            if (!ec)
            {
                watches().stateFlags[readStateKey(state)] =
                    holds(std::get<0>(reply), state.matchValue);
                return;
            }
            if (retries == 0)
            {
                std::cerr << "error getting power status " << ec.message()
                          << "\n";
                return;
            }
            const std::shared_ptr<dbus::connection> conn = weakConn.lock();
            if (!conn)
            {
                return; // the daemon is going away
            }
            auto retryTimer = std::make_shared<boost::asio::steady_timer>(
                conn->get_io_context(), retryDelay);
            retryTimer->async_wait([weakConn, state, retries, retryTimer](
                                       const boost::system::error_code&) {
                if (const auto conn = weakConn.lock())
                {
                    queryReadState(conn, state, retries - 1);
                }
            });
        },
        state.serviceName, state.objectPath, propertiesInterface, "Get",
        state.interfaceName, state.propertyName);
}
