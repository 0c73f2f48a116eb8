#include "baysentry/monitor.hpp"
#include "dbus/connection.hpp"
#include "dbus/object_server.hpp"
#include "platform/log_line.hpp"

#include <boost/asio/io_context.hpp>

#include <exception>
#include <memory>

// Watches the NVMe bays of the drive backplanes once POST is complete, and
// has the FRU service, EntityManager and the NVMe sensor service rescan
// when drives come and go. Runs until stopped; ends with status 1 when it
// cannot reach the bus, loses it, or a handler fails past what it handles.
int main()
{
    try
    {
        boost::asio::io_context io;
        auto conn = std::make_shared<dbus::connection>(io);
        dbus::object_server server(conn);
        baysentry::Monitor monitor(conn);
        auto postComplete = monitor.startPostCompleteMonitor();
        io.run();
    }
    catch (const std::exception& e)
    {
        platform::log_format(stderr, "baysentry stopped: %s\n", e.what());
        return 1;
    }
    return 0;
}
