#include "dbus/test/bus_fixture.hpp"

#include "dbus/object_server.hpp"
#include "simboard/bus/private_bus.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/container/flat_map.hpp>

#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <tuple>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

namespace dbus::test
{

namespace
{

class bus_environment_setup : public ::testing::Environment
{
  public:
    void SetUp() override
    {
        bus = std::make_unique<simboard::private_bus>();
        simboard::use_as_default_bus(bus->address());
    }
    void TearDown() override
    {
        bus.reset();
    }

    std::unique_ptr<simboard::private_bus> bus;
};

bus_environment_setup* const environment = static_cast<bus_environment_setup*>(
    ::testing::AddGlobalTestEnvironment(new bus_environment_setup));

} // namespace

const std::string& bus_address()
{
    return environment->bus->address();
}

bool run_until(boost::asio::io_context& io, const std::function<bool()>& done,
               std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    io.restart();
    while (!done() && std::chrono::steady_clock::now() < deadline)
    {
        io.run_one_for(std::chrono::milliseconds(10));
        io.restart();
    }
    return done();
}

child_process::child_process(
    const std::function<void(const std::function<void()>& ready)>& body)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
    {
        throw std::runtime_error("pipe2 failed");
    }
    pid_ = fork();
    if (pid_ == 0)
    {
        close(fds[0]);
        // Keep none of the parent's bus connections open in here.
        close_range(3, static_cast<unsigned>(fds[1]) - 1, 0);
        close_range(static_cast<unsigned>(fds[1]) + 1, ~0U, 0);
        int status = 0;
        try
        {
            body([fd = fds[1]] {
                const char byte = 1;
                if (write(fd, &byte, 1) != 1)
                {
                    _exit(2);
                }
            });
        }
        catch (const std::exception& e)
        {
            std::fprintf(stderr, "test child: %s\n", e.what());
            status = 1;
        }
        _exit(status);
    }
    close(fds[1]);
    pollfd ready{fds[0], POLLIN, 0};
    char byte = 0;
    const bool started = poll(&ready, 1, 5000) == 1 &&
                         read(fds[0], &byte, 1) == 1;
    close(fds[0]);
    if (!started)
    {
        stop();
        throw std::runtime_error("test child did not start");
    }
}

child_process::~child_process()
{
    stop();
}

void child_process::stop() noexcept
{
    if (pid_ > 0)
    {
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR)
        {}
        pid_ = -1;
    }
}

void serve_test_interface(const std::function<void()>& ready)
{
    boost::asio::io_context io;
    auto conn = connection::open(io, bus_address());
    object_server server(conn);
    auto iface = server.add_interface(server_path, server_iface);

    iface->register_property("Name", std::string("initial"));
    iface->register_property("Level", uint32_t{1}, permission::read_write);
    iface->register_property(
        "Limit", int32_t{10}, [](const int32_t& requested, int32_t& stored) {
            if (requested < 0)
            {
                return write_result::refused;
            }
            const int32_t next = std::min(requested, int32_t{100});
            if (next == stored)
            {
                return write_result::unchanged;
            }
            stored = next;
            return write_result::changed;
        });

    // Takes no write at all, and scribbles before denying: must be undone.
    iface->register_property("Locked", std::string("fixed"),
                             [](const std::string&, std::string& stored) {
                                 stored = "scribbled";
                                 return write_result::denied;
                             });

    iface->register_method("Echo", [](const std::string& text) {
        return text;
    });
    iface->register_method("Split", [](const std::string& text) {
        const auto at = text.find('=');
        return std::make_tuple(text.substr(0, at), text.substr(at + 1));
    });
    iface->register_method("Sum", [](const std::vector<int32_t>& values) {
        int64_t sum = 0;
        for (int32_t v : values)
        {
            sum += v;
        }
        return sum;
    });
    iface->register_method("Fail", [](const std::string& name,
                                      const std::string& text) {
        throw error(name, text);
    });
    iface->register_method("Throw", [] {
        throw std::runtime_error("handler broke");
    });
    iface->register_method("Records", [] {
        return std::vector<std::tuple<std::string, std::string, std::string>>{
            {"a", "b", "c"}, {"d", "e", "f"}};
    });
    iface->register_method("Table", [] {
        return boost::container::flat_map<std::string, uint32_t>{
            {"one", 1}, {"two", 2}};
    });
    // Which alternative arrived: the fallback reads as an empty list.
    iface->register_method(
        "Describe",
        [](const std::variant<std::vector<std::string>, std::string>& value) {
            if (const auto* text = std::get_if<std::string>(&value))
            {
                return "string:" + *text;
            }
            return "list:" + std::to_string(std::get<0>(value).size());
        });
    // A blocking call from inside a handler, on the serving connection.
    iface->register_method("Nested", [&conn] {
        return conn->call_method<std::string>(
            "org.freedesktop.DBus", "/org/freedesktop/DBus",
            "org.freedesktop.DBus", "GetNameOwner", std::string(server_name));
    });
    iface->register_method("Emit", [&iface](const std::string& text) {
        iface->emit_signal("Ping", text);
    });
    iface->initialize();

    conn->request_name(server_name);
    ready();
    io.run();
}

} // namespace dbus::test
