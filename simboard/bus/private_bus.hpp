#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace simboard
{

/** A dbus-daemon of our own: a unix socket in a fresh temp dir that every
 *  user can reach, a policy that allows everything to everyone, no service
 *  activation. Ready when the constructor returns; killed and cleaned up on
 *  destruction (and killed as well if this process dies first). */
class private_bus
{
  public:
    /** The bus configuration files in `policy_files` (system bus policies,
     *  as installed in /usr/share/dbus-1/system.d) are loaded in this order
     *  after the permissive policy, so their rules win. Throws
     *  std::runtime_error when the daemon cannot be started. */
    explicit private_bus(const std::vector<std::string>& policy_files = {});
    private_bus(const private_bus&) = delete;
    private_bus& operator=(const private_bus&) = delete;
    ~private_bus();

    /** D-Bus address of the daemon, e.g. "unix:path=/tmp/...". */
    const std::string& address() const noexcept
    {
        return address_;
    }

  private:
    void stop() noexcept;

    std::string dir_;
    pid_t pid_ = -1;
    std::string address_;
};

/** Environment that makes sd_bus_default() connect to address:
 *  DBUS_SYSTEM_BUS_ADDRESS, DBUS_STARTER_ADDRESS and
 *  DBUS_STARTER_BUS_TYPE=system (libsystemd then opens the system bus,
 *  whose address it takes from DBUS_SYSTEM_BUS_ADDRESS). */
std::map<std::string, std::string> bus_environment(const std::string& address);

/** Sets bus_environment(address) in this process and returns it (for child
 *  processes). sd-bus caches the default bus per thread: call this before
 *  the first sd_bus_default() of the thread. */
std::map<std::string, std::string> use_as_default_bus(
    const std::string& address);

} // namespace simboard
