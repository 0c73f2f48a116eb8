// simboard-peers: the fake peer services of the simulated board.
#include "simboard/peers/peer_set.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <exception>
#include <iostream>
#include <string>

namespace
{

constexpr const char* usage =
    "usage: simboard-peers --board FILE [--address ADDRESS] [--log FILE]\n"
    "Serves the peers of the board description's \"peers\" object on the\n"
    "bus at ADDRESS (default: the default bus), appending every call they\n"
    "receive to the log FILE. Prints \"peers ready\" once they are up.\n";

struct arguments
{
    std::string board;
    simboard::peers::options opts;
};

/** False on a usage error. */
bool parse(int argc, char** argv, arguments& out)
{
    for (int i = 1; i < argc; ++i)
    {
        const std::string flag = argv[i];
        if (i + 1 == argc)
        {
            return false;
        }
        const std::string value = argv[++i];
        if (flag == "--board")
        {
            out.board = value;
        }
        else if (flag == "--address")
        {
            out.opts.address = value;
        }
        else if (flag == "--log")
        {
            out.opts.log = value;
        }
        else
        {
            return false;
        }
    }
    return !out.board.empty();
}

} // namespace

int main(int argc, char** argv)
{
    arguments args;
    if (!parse(argc, argv, args))
    {
        std::cerr << usage;
        return 2;
    }
    try
    {
        boost::asio::io_context io;
        boost::asio::signal_set stop(io, SIGINT, SIGTERM);
        stop.async_wait([&io](const boost::system::error_code&, int) {
            io.stop();
        });
        simboard::peers::peer_set peers(
            io, simboard::peers::read_peers(args.board), args.opts);
        std::cout << "peers ready" << std::endl;
        io.run();
    }
    catch (const std::exception& e)
    {
        std::cerr << "simboard-peers: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
