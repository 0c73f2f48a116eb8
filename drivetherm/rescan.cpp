#include "drivetherm/rescan.hpp"

#include "drivetherm/discovery.hpp"
#include "platform/log_line.hpp"

#include <boost/asio/error.hpp>

#include <chrono>

namespace
{

constexpr auto rescanDelay = std::chrono::microseconds(1000000);

// A pass a second from now, unless another request comes first; a wait
// still pending is cancelled and does nothing.
void scheduleRescan(boost::asio::io_context& io,
                    dbus::object_server& objectServer,
                    std::shared_ptr<dbus::connection>& conn,
                    boost::asio::steady_timer& rescanTimer)
{
    rescanTimer.expires_after(rescanDelay);
    rescanTimer.async_wait(
        [&io, &objectServer, &conn](const boost::system::error_code& ec) {
            onRescanTimer(ec, io, objectServer, conn);
        });
}

} // namespace

std::string configurationMatchRule()
{
    return std::string("type='signal',member='PropertiesChanged',"
                       "path_namespace='") +
           "/xyz/openbmc_project/inventory" + "',arg0namespace='" +
           m2ConfigInterface + "'";
}

dbus::match watchConfiguration(boost::asio::io_context& io,
                               dbus::object_server& objectServer,
                               std::shared_ptr<dbus::connection>& conn,
                               boost::asio::steady_timer& rescanTimer)
{
    return dbus::match(
        *conn, configurationMatchRule(),
        [&io, &objectServer, &conn, &rescanTimer](dbus::message&) {
            scheduleRescan(io, objectServer, conn, rescanTimer);
        });
}

void watchUnansweredDrives(boost::asio::io_context& io,
                           dbus::object_server& objectServer,
                           std::shared_ptr<dbus::connection>& conn,
                           boost::asio::steady_timer& rescanTimer)
{
    setStateEnteredHandler(
        [&io, &objectServer, &conn, &rescanTimer](const std::string& key) {
            if (awaitsState(key))
            {
                scheduleRescan(io, objectServer, conn, rescanTimer);
            }
        });
}

void onRescanTimer(const boost::system::error_code& ec,
                   boost::asio::io_context& io,
                   dbus::object_server& objectServer,
                   std::shared_ptr<dbus::connection>& conn)
{
    if (ec == boost::asio::error::operation_aborted)
    {
        return;
    }
    if (ec)
    {
        platform::log_line(stderr, "timer error");
        return;
    }
    discoverSensors(io, objectServer, conn);
    // Only earlier passes can have filled the table by now.
    if (sensorTable().empty())
    {
        platform::log_line(stdout, "Configuration not detected");
    }
}
