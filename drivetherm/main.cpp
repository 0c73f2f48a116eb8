#include "dbus/connection.hpp"
#include "dbus/error.hpp"
#include "dbus/object_server.hpp"
#include "drivetherm/discovery.hpp"
#include "drivetherm/rescan.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include <iostream>
#include <memory>

// Publishes the temperatures of the M.2 drives that EntityManager
// configures, and follows every change of their configuration.
int main()
{
    boost::asio::io_context io;
    auto conn = std::make_shared<dbus::connection>(io);
    try
    {
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
    io.run();
    // The sensors use the object server: they go first.
    sensorTable().clear();
    return 0;
}
