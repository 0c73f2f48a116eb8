#pragma once

#include "dbus/message.hpp"

#include <fstream>
#include <string>

namespace simboard::peers
{

/** One call as a line: "<service> <path> <interface> <member>(<signature>)
 *  <arguments>", the arguments a JSON array (see typed_value), e.g.
 *  `xyz.openbmc_project.FruDevice /xyz/openbmc_project/FruDevice
 *  xyz.openbmc_project.FruDeviceManager ReScanBus(y) [30]`. */
std::string format_call(const std::string& service, dbus::message& call);

/** The calls the peers receive, appended to a file one line each and
 *  flushed at once, so that a test can read it while the peers run. */
class call_log
{
  public:
    /** An empty path records nothing. Throws std::runtime_error when the
     *  file cannot be opened. */
    explicit call_log(const std::string& path);

    void record(const std::string& service, dbus::message& call);

  private:
    std::ofstream out_;
};

} // namespace simboard::peers
