#include "simboard/scenario/session.hpp"

#include <sys/wait.h>

#include <stdexcept>

namespace simboard::scenario
{

namespace
{

constexpr const char* bus_service = "org.freedesktop.DBus";
constexpr const char* bus_path = "/org/freedesktop/DBus";

std::string exit_text(int status)
{
    if (WIFEXITED(status))
    {
        return "status " + std::to_string(WEXITSTATUS(status));
    }
    return "signal " + std::to_string(WTERMSIG(status));
}

} // namespace

session::session(board& sim, const timeline& log,
                 const std::vector<daemon_binary>& binaries) :
    sim(sim),
    log(log)
{
    for (const auto& binary : binaries)
    {
        daemons_.push_back({binary.name, sim.start(binary.path)});
    }
}

daemon_process& session::daemon(const std::string& name)
{
    for (auto& d : daemons_)
    {
        if (d.name == name)
        {
            return *d.process;
        }
    }
    throw std::logic_error("no daemon " + name + " on the board");
}

void session::echo_output()
{
    for (auto& d : daemons_)
    {
        auto lines = d.process->lines();
        for (; d.printed < lines.size(); ++d.printed)
        {
            log.say("    " + d.name + ": " + lines[d.printed].text);
        }
    }
}

std::optional<std::string> session::ended_daemon()
{
    for (auto& d : daemons_)
    {
        if (!d.process->running())
        {
            auto status = d.process->wait_exit(std::chrono::milliseconds(0));
            return d.name + " ended (" + exit_text(status.value_or(0)) + ")";
        }
    }
    return std::nullopt;
}

bool session::serves_bus(pid_t pid)
{
    auto names = bus().call_method<std::vector<std::string>>(
        bus_service, bus_path, bus_service, "ListNames");
    for (const auto& name : names)
    {
        if (!name.starts_with(":"))
        {
            continue;
        }
        try
        {
            auto owner =
                bus().call_method<uint32_t>(bus_service, bus_path, bus_service,
                                            "GetConnectionUnixProcessID", name);
            if (owner == static_cast<uint32_t>(pid))
            {
                bus().call_method(name, "/", "org.freedesktop.DBus.Peer",
                                  "Ping");
                return true;
            }
        }
        catch (const dbus::error&)
        {
            // The connection left meanwhile, or does not answer yet.
        }
    }
    return false;
}

std::size_t session::count(const std::vector<std::string>& lines,
                           const std::string& text)
{
    std::size_t n = 0;
    for (const auto& line : lines)
    {
        n += line.find(text) != std::string::npos ? 1 : 0;
    }
    return n;
}

} // namespace simboard::scenario
