#include "dbus/connection.hpp"
#include "dbus/error.hpp"
#include "dbus/object_server.hpp"
#include "drivetherm/discovery.hpp"
#include "drivetherm/rescan.hpp"
#include "platform/log_line.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <exception>
#include <memory>
#include <string>

// Publishes the temperatures of the M.2 drives that EntityManager
// configures, and follows every change of their configuration. Runs until
// stopped; ends with status 1 when the bus is lost or a handler fails.
int main()
{
    boost::asio::io_context io;
    std::shared_ptr<dbus::connection> conn;
    try
    {
        conn = std::make_shared<dbus::connection>(io);
        conn->request_name("xyz.openbmc_project.M2Sensor");
    }
    catch (const dbus::error& e)
    {
        platform::log_line(stderr, e.what());
        return 1;
    }
    dbus::object_server objectServer(conn);
    boost::asio::post(io, [&] { discoverSensors(io, objectServer, conn); });
    boost::asio::steady_timer rescanTimer(io);
    dbus::match configMatch =
        watchConfiguration(io, objectServer, conn, rescanTimer);
    watchUnansweredDrives(io, objectServer, conn, rescanTimer);
    int status = 0;
    try
    {
        io.run();
    }
    catch (const std::exception& e)
    {
        // The bus is lost, or a handler failed past what it handles.
        platform::log_line(stderr,
                           std::string("drivetherm stopped: ") + e.what());
        status = 1;
    }
    // The sensors use the object server: they go first.
    sensorTable().clear();
    return status;
}
