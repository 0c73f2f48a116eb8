#include "dbus/connection.hpp"
#include "dbus/error.hpp"
#include "dbus/object_server.hpp"
#include "drivetherm/discovery.hpp"
#include "drivetherm/rescan.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <exception>
#include <iostream>
#include <memory>

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
        std::cerr << e.what() << "\n";
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
        std::cerr << "drivetherm stopped: " << e.what() << "\n";
        status = 1;
    }
    // The sensors use the object server: they go first.
    sensorTable().clear();
    return status;
}
