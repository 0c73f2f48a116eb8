#include "simboard/soak/supervisor.hpp"

#include "simboard/fixture/process_figures.hpp"

#include <stdexcept>
#include <thread>
#include <variant>

namespace simboard::soak
{

namespace
{

using namespace std::chrono_literals;

constexpr auto restart_delay = 5s;
constexpr const char* bus_service = "org.freedesktop.DBus";
constexpr const char* bus_path = "/org/freedesktop/DBus";

// -1 for a connection that has gone meanwhile.
pid_t connection_pid(dbus::connection& bus, const std::string& name)
{
    try
    {
        return static_cast<pid_t>(
            bus.call_method<std::uint32_t>(bus_service, bus_path, bus_service,
                                           "GetConnectionUnixProcessID", name));
    }
    catch (const dbus::error&)
    {
        return -1;
    }
}

} // namespace

supervisor::supervisor(board& sim, std::vector<daemon_unit> units) : sim_(sim)
{
    for (auto& unit : units)
    {
        daemons_.push_back(
            {std::move(unit), {}, {}, {}, {}, 0, 0, {}, {}, false});
    }
    for (auto& daemon : daemons_)
    {
        start(daemon);
    }
}

supervised& supervisor::daemon(const std::string& name)
{
    for (auto& daemon : daemons_)
    {
        if (daemon.unit.name == name)
        {
            return daemon;
        }
    }
    throw std::out_of_range("no daemon " + name);
}

void supervisor::start(supervised& daemon)
{
    daemon.process = sim_.start(daemon.unit.binary);
    daemon.log.emplace(daemon.process->log_path());
    daemon.restart_due.reset();
}

void supervisor::read_output(supervised& daemon)
{
    if (!daemon.log)
    {
        return;
    }
    for (auto& line : daemon.log->new_lines())
    {
        if (reports_error(line.text))
        {
            ++daemon.error_lines;
            ++daemon.errors[error_key(line.text)];
        }
        daemon.fresh.push_back(std::move(line));
    }
}

void supervisor::tick()
{
    const auto now = clock_type::now();
    for (auto& daemon : daemons_)
    {
        if (daemon.restart_due && now >= *daemon.restart_due)
        {
            ++daemon.restarts;
            start(daemon);
        }
        daemon.fresh.clear();
        read_output(daemon);
        if (!daemon.process || daemon.process->running())
        {
            continue;
        }
        // Ended: take its last lines, then decide as the service manager.
        int status = *daemon.process->wait_exit(0ms);
        daemon.process->stop();
        read_output(daemon);
        daemon.exits.push_back(describe_exit(status));
        daemon.process.reset();
        daemon.log.reset();
        if (classify_exit(status) == exit_kind::failure)
        {
            daemon.restart_due = now + restart_delay;
        }
        else
        {
            daemon.lost = true;
        }
    }
}

void supervisor::stop_all()
{
    tick();
    for (auto& daemon : daemons_)
    {
        if (daemon.process)
        {
            daemon.process->stop();
        }
    }
}

std::optional<usage> supervisor::sample(supervised& daemon)
{
    if (!daemon.process || !daemon.process->running())
    {
        return std::nullopt;
    }
    const pid_t pid = daemon.process->pid();
    usage now{pid, status_field(pid, "VmRSS"), descriptor_count(pid)};
    // A reading holds a device open for a moment: take the least of a few.
    for (int again = 0; again < 2; ++again)
    {
        std::this_thread::sleep_for(20ms);
        now.fds = std::min(now.fds, descriptor_count(pid));
    }
    if (now.rss_kb < 0 || now.fds < 0)
    {
        return std::nullopt;
    }
    return now;
}

bool supervisor::answers(supervised& daemon)
{
    if (!daemon.process || !daemon.process->running())
    {
        return false;
    }
    auto& bus = sim_.client();
    try
    {
        std::string connection;
        for (const auto& name : bus.call_method<std::vector<std::string>>(
                 bus_service, bus_path, bus_service, "ListNames"))
        {
            if (name.starts_with(":") &&
                connection_pid(bus, name) == daemon.process->pid())
            {
                connection = name;
            }
        }
        if (connection.empty() ||
            (!daemon.unit.bus_name.empty() &&
             bus.call_method<std::string>(bus_service, bus_path, bus_service,
                                          "GetNameOwner",
                                          daemon.unit.bus_name) != connection))
        {
            return false;
        }
        bus.call_method<std::string>(connection, "/",
                                     "org.freedesktop.DBus.Introspectable",
                                     "Introspect");
        return true;
    }
    catch (const dbus::error&)
    {
        return false;
    }
}

} // namespace simboard::soak
