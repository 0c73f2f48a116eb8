#pragma once

#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include <memory>
#include <string>

namespace simboard::peers
{

/** Well-known name of the service holding the peers' control objects. */
inline constexpr const char* control_service = "xyz.openbmc_project.SimBoard";

struct options
{
    /** Bus address; empty: the default bus. */
    std::string address;
    /** Call log file; empty: no log. */
    std::string log;
};

/** The fake peer services described by the "peers" object of a board
 *  description (see README.md), each on its own connection under its real
 *  well-known name, and the control service. Every name is owned when the
 *  constructor returns; the calls are served while io runs. */
class peer_set
{
  public:
    /** Throws std::invalid_argument for a malformed description,
     *  dbus::error when the bus cannot be reached or a name is taken, and
     *  std::runtime_error when the call log cannot be opened. */
    peer_set(boost::asio::io_context& io, const nlohmann::json& peers,
             const options& opts);
    peer_set(const peer_set&) = delete;
    peer_set& operator=(const peer_set&) = delete;
    ~peer_set();

  private:
    struct impl;
    std::unique_ptr<impl> impl_;
};

/** The "peers" object of the board description file (an empty object when
 *  it has none). Throws std::runtime_error when the file cannot be read or
 *  is not JSON. */
nlohmann::json read_peers(const std::string& board_file);

} // namespace simboard::peers
