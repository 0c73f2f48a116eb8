#pragma once

#include "dbus/connection.hpp"

#include <functional>
#include <memory>
#include <string>

/** When a sensor may be read: while the text property `propertyName` of
 *  `interfaceName` at `objectPath` on `serviceName` ends with `matchValue`.
 */
struct ReadState
{
    std::string serviceName;
    std::string objectPath;
    std::string interfaceName;
    std::string propertyName;
    std::string matchValue;
};

/** False for an empty `matchValue` or "Always": always readable, no watch. */
bool isGated(const ReadState& state);

/** The key of every watch: the five texts concatenated. */
std::string readStateKey(const ReadState& state);

/** Installs the watch of `state` once per key: a PropertiesChanged match
 *  and a first query of the property. Entering the state counts after it
 *  held for 10 seconds, leaving it counts at once. */
void setupStateMatch(const std::shared_ptr<dbus::connection>& conn,
                     ReadState state);

/** Whether the watched state holds. Throws std::runtime_error
 *  "Power Match Not Created" when no watch exists for `state`. */
bool isReadStateActive(const ReadState& state);

/** Runs `handler` with the key of a watch whose state has come to hold
 *  after a change, once it held for the settle delay (not for the first
 *  query's answer). One handler per process, replacing the one before. */
void setStateEnteredHandler(
    std::function<void(const std::string& key)> handler);

/** Asks the state property once; on failure asks again 15 seconds later,
 *  `retries` more times at most. */
void queryReadState(const std::shared_ptr<dbus::connection>& conn,
                    const ReadState& state, int retries);
