#pragma once

#include "dbus/connection.hpp"
#include "dbus/object_server.hpp"
#include "drivetherm/drivetherm.hpp"
#include "sensors/config.hpp"
#include "sensors/read_state.hpp"

#include <boost/asio/io_context.hpp>

#include <map>
#include <memory>
#include <string>

/** Every sensor of the process, by its configured "Name". A sensor is
 *  replaced whenever a pass sees its configuration again and is never
 *  removed. */
using SensorTable = std::map<std::string, std::unique_ptr<Drivetherm>>;
SensorTable& sensorTable();

/** Whether some gated configuration whose drive did not answer in the
 *  latest pass waits, still without a sensor, for the state `key`
 *  (readStateKey). */
bool awaitsState(const std::string& key);

/** When a sensor of the given "PowerState" may be read. */
ReadState readStateFor(const std::string& powerState);

/** One discovery pass: asks EntityManager for every configuration and
 *  creates (or replaces) a sensor for each M.2 record whose drive answers.
 *  A gated record whose drive does not answer gets the watch of its state
 *  all the same. Returns at once; the work happens when the reply arrives.
 *  A record that lacks a key or holds a value of the wrong kind stops the
 *  pass there: the sensors created before it stay. */
void discoverSensors(boost::asio::io_context& io,
                     dbus::object_server& objectServer,
                     std::shared_ptr<dbus::connection>& conn);

/** The creation step of one M.2 record `config` of the configuration
 *  object `path` (with all its `interfaces`). Throws std::invalid_argument
 *  for a missing key or a value of the wrong kind. */
void createSensor(boost::asio::io_context& io,
                  dbus::object_server& objectServer,
                  const std::shared_ptr<dbus::connection>& conn,
                  const std::string& path, const ConfigInterfaces& interfaces,
                  const ConfigProperties& config);
