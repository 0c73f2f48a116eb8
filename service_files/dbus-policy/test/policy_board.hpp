#pragma once

#include "simboard/fixture/board.hpp"

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <string>

#include <gtest/gtest.h>

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

/** A policy test: skipped unless run by root, as the calls made as another
 *  user need. */
class root_case : public ::testing::Test
{
  protected:
    void SetUp() override;
};

using bus_call = std::function<std::string(sd_bus*)>;

/** `call` made on the board's bus as the user nobody, or as root. */
std::string as_nobody(const simboard::board& board, const bus_call& call);
std::string as_root(const simboard::board& board, const bus_call& call);

/** The bus's RequestName of `name`, as simboard::call_outcome gives it. */
std::string request_name(sd_bus* bus, const std::string& name);

} // namespace policy_test
