#pragma once

#include "dbus/properties.hpp"
#include "simboard/fixture/board.hpp"
#include "simboard/scenario/timeline.hpp"

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace simboard::scenario
{

/** A daemon binary and the name it goes by in the timeline. */
struct daemon_binary
{
    std::string name;
    std::string path;
};

/** The board with the daemons running on it, as the scenario's steps see
 *  it: the test connection for busctl-like calls, the daemons' output and
 *  the board's records. */
class session
{
  public:
    session(board& sim, const timeline& log,
            const std::vector<daemon_binary>& binaries);

    board& sim;
    const timeline& log;

    dbus::connection& bus()
    {
        return sim.client();
    }
    daemon_process& daemon(const std::string& name);

    /** Prints the daemons' lines written since the last call, indented
     *  under their name. */
    void echo_output();
    /** "<name> ended (status N)" for a daemon that is no longer running. */
    std::optional<std::string> ended_daemon();

    template <typename T>
    T get(const std::string& service, const std::string& path,
          const std::string& iface, const std::string& name)
    {
        return dbus::get_property<T>(bus(), {service, path, iface, name});
    }
    template <typename T>
    void set(const std::string& service, const std::string& path,
             const std::string& iface, const std::string& name, T value)
    {
        dbus::set_property(bus(), {service, path, iface, name}, value);
    }

    /** Whether the process `pid` has a connection on the bus that answers
     *  a Ping, i.e. runs its event loop. */
    bool serves_bus(pid_t pid);

    /** How many lines of `lines` contain `text`. */
    static std::size_t count(const std::vector<std::string>& lines,
                             const std::string& text);

  private:
    struct running
    {
        std::string name;
        std::unique_ptr<daemon_process> process;
        std::size_t printed = 0;
    };
    std::vector<running> daemons_;
};

} // namespace simboard::scenario
