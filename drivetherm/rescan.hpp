#pragma once

#include "dbus/connection.hpp"
#include "dbus/match.hpp"
#include "dbus/object_server.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <memory>
#include <string>

/** Signals that announce a changed M.2 configuration record. */
std::string configurationMatchRule();

/** Runs a discovery pass once a burst of configuration changes has been
 *  quiet for a second: every matching signal re-arms `rescanTimer`. */
dbus::match watchConfiguration(boost::asio::io_context& io,
                               dbus::object_server& objectServer,
                               std::shared_ptr<dbus::connection>& conn,
                               boost::asio::steady_timer& rescanTimer);

/** Runs a discovery pass, debounced as for a configuration change, when a
 *  state is entered that some unanswered gated drive waits for. */
void watchUnansweredDrives(boost::asio::io_context& io,
                           dbus::object_server& objectServer,
                           std::shared_ptr<dbus::connection>& conn,
                           boost::asio::steady_timer& rescanTimer);

/** The rescan timer's handler: a discovery pass, unless the wait was
 *  cancelled or failed. */
void onRescanTimer(const boost::system::error_code& ec,
                   boost::asio::io_context& io,
                   dbus::object_server& objectServer,
                   std::shared_ptr<dbus::connection>& conn);
