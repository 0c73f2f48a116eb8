#include "simboard/bus/private_bus.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace simboard
{

namespace
{

constexpr const char* daemon_path = "/usr/bin/dbus-daemon";

std::runtime_error failure(const std::string& what)
{
    return std::runtime_error(
        "private_bus: " + what + ": " + std::strerror(errno));
}

std::string make_temp_dir()
{
    std::string pattern =
        (std::filesystem::temp_directory_path() / "simboard-bus-XXXXXX")
            .string();
    if (mkdtemp(pattern.data()) == nullptr)
    {
        throw failure("mkdtemp");
    }
    // Clients of any user reach the socket; nobody else lists the folder.
    if (chmod(pattern.c_str(), 0711) != 0)
    {
        const int chmod_errno = errno;
        rmdir(pattern.c_str());
        errno = chmod_errno;
        throw failure("chmod " + pattern);
    }
    return pattern;
}

/** Everything allowed to everyone, then the given policies; nothing
 *  activated. */
std::string write_config(const std::string& dir,
                         const std::vector<std::string>& policy_files)
{
    const std::string path = dir + "/bus.conf";
    std::ofstream out(path);
    out << R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=)"
        << dir << R"(/socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
    <allow eavesdrop="true"/>
  </policy>
)";
    for (const std::string& file : policy_files)
    {
        out << "  <include>" << file << "</include>\n";
    }
    out << "</busconfig>\n";
    out.close();
    if (!out)
    {
        throw failure("writing " + path);
    }
    return path;
}

/** Reads the first line the daemon prints: its address. */
std::string read_address(int fd)
{
    std::string line;
    char c = 0;
    ssize_t n = 0;
    while ((n = read(fd, &c, 1)) == 1 && c != '\n')
    {
        line.push_back(c);
    }
    if (n < 0)
    {
        throw failure("reading the daemon's address");
    }
    return line;
}

[[noreturn]] void exec_daemon(const std::string& config_arg, int out_fd)
{
    // Between fork and exec: async-signal-safe calls only.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // A caller that waits for signals itself may have blocked them.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    dup2(out_fd, STDOUT_FILENO);
    execl(daemon_path, daemon_path, config_arg.c_str(), "--nofork",
          "--print-address", static_cast<char*>(nullptr));
    _exit(127);
}

} // namespace

private_bus::private_bus(const std::vector<std::string>& policy_files) :
    dir_(make_temp_dir())
{
    try
    {
        const std::string config_arg =
            "--config-file=" + write_config(dir_, policy_files);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
        {
            throw failure("pipe2");
        }
        pid_ = fork();
        if (pid_ == 0)
        {
            exec_daemon(config_arg, fds[1]);
        }
        const int fork_errno = errno;
        close(fds[1]);
        if (pid_ < 0)
        {
            close(fds[0]);
            errno = fork_errno;
            throw failure("fork");
        }
        address_ = read_address(fds[0]);
        close(fds[0]);
        if (address_.empty())
        {
            throw std::runtime_error(
                "private_bus: " + std::string(daemon_path) + " did not start");
        }
    }
    catch (...)
    {
        stop();
        throw;
    }
}

private_bus::~private_bus()
{
    stop();
}

void private_bus::stop() noexcept
{
    if (pid_ > 0)
    {
        kill(pid_, SIGTERM);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR)
        {}
        pid_ = -1;
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

std::map<std::string, std::string> bus_environment(const std::string& address)
{
    return {
        {"DBUS_SYSTEM_BUS_ADDRESS", address},
        {"DBUS_STARTER_ADDRESS", address},
        {"DBUS_STARTER_BUS_TYPE", "system"},
    };
}

std::map<std::string, std::string> use_as_default_bus(
    const std::string& address)
{
    auto env = bus_environment(address);
    for (const auto& [name, value] : env)
    {
        if (setenv(name.c_str(), value.c_str(), 1) != 0)
        {
            throw failure("setenv " + name);
        }
    }
    return env;
}

} // namespace simboard
