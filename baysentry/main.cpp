#include "baysentry/monitor.hpp"
#include "dbus/connection.hpp"
#include "dbus/object_server.hpp"

#include <boost/asio/io_context.hpp>

#include <memory>

// Watches the NVMe bays of the drive backplanes once POST is complete, and
// has the FRU service, EntityManager and the NVMe sensor service rescan
// when drives come and go. Runs until stopped.
int main()
{
    boost::asio::io_context io;
    auto conn = std::make_shared<dbus::connection>(io);
    dbus::object_server server(conn);
    baysentry::Monitor monitor(conn);
    auto postComplete = monitor.startPostCompleteMonitor();
    io.run();
    return 0;
}
