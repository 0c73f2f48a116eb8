#pragma once

#include "dbus/connection.hpp"
#include "simboard/peers/call_log.hpp"
#include "simboard/peers/object_tree.hpp"

#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include <memory>
#include <string>

namespace simboard::peers
{

/** Error name of every failure a peer is told to inject. */
inline constexpr const char* injected_error =
    "xyz.openbmc_project.SimBoard.Error.Injected";

/** Control objects live at control_root + the peer's key. */
inline constexpr const char* control_root = "/xyz/openbmc_project/simboard/";

/** What every peer is built with. */
struct service_context
{
    boost::asio::io_context& io;
    /** Bus address; empty: the default bus. */
    std::string address;
    call_log& log;
    /** The control service's objects. */
    object_tree& control;
};

/** A new connection to the bus at address, or to the default bus. */
std::shared_ptr<dbus::connection> connect(boost::asio::io_context& io,
                                          const std::string& address);

/** One fake peer service on its own connection: the objects it serves
 *  under its real well-known name, every call recorded in the call log,
 *  and its control object. */
class service
{
  public:
    service(service_context& ctx, std::string name);
    service(const service&) = delete;
    service& operator=(const service&) = delete;
    virtual ~service() = default;

    /** Applies the peer's object of the board description; throws
     *  std::invalid_argument for a key or value it does not take. */
    virtual void configure(const nlohmann::json& description) = 0;
    /** Requests the well-known name. */
    void own();

  protected:
    object_tree& tree()
    {
        return tree_;
    }

  private:
    std::string name_;
    std::shared_ptr<dbus::connection> conn_;
    object_tree tree_;
};

/** The peer of the given key of the "peers" object ("entity_manager",
 *  "host", "os", "chassis", "board_properties", "fru", "chip_info");
 *  throws std::invalid_argument for another key. */
std::unique_ptr<service> make_service(const std::string& key,
                                      service_context& ctx);

} // namespace simboard::peers
