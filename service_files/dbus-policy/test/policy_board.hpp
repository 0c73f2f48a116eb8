#pragma once

#include "simboard/fixture/board.hpp"

#include <systemd/sd-bus.h>

#include <memory>
#include <string>

// The sample simulated board whose bus loads our installed bus policies,
// and the calls the policy tests make as one user or another.
namespace policy_test
{

inline constexpr const char* access_denied =
    "org.freedesktop.DBus.Error.AccessDenied";
/** How a call's outcome (see simboard::call_outcome) starts when the bus
 *  refused it by its policy. A daemon's own refusal has the same error name
 *  but another text. */
inline constexpr const char* bus_refusal =
    "org.freedesktop.DBus.Error.AccessDenied: Rejected send message";

/** The sample board, its bus loading both policy files; with
 *  `root_owns_m2sensor`, root may also take the sensors' bus name (the
 *  daemons run as root on the board). */
std::unique_ptr<simboard::board> policy_board(bool root_owns_m2sensor);

/** The bus's RequestName of `name`, as simboard::call_outcome gives it. */
std::string request_name(sd_bus* bus, const std::string& name);

} // namespace policy_test
