#pragma once

#include "dbus/connection.hpp"
#include "dbus/message.hpp"

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <string>

namespace dbus
{

/** A signal match: callback runs for every message matching rule while the
 *  object lives. The rule is active on the bus when the constructor
 *  returns. The callback may destroy the match; what it throws ends the
 *  loop (dbus::loop_failure). */
class match
{
  public:
    using callback = std::function<void(message&)>;

    match(connection& conn, const std::string& rule, callback cb);
    match(match&&) noexcept;
    match& operator=(match&&) noexcept;
    ~match();

  private:
    struct state;
    static int on_match(sd_bus_message* m, void* userdata, sd_bus_error* err);
    void release() noexcept;

    std::unique_ptr<state> state_;
};

} // namespace dbus
