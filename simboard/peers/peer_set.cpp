#include "simboard/peers/peer_set.hpp"

#include "simboard/peers/services.hpp"

#include <fstream>
#include <stdexcept>
#include <vector>

namespace simboard::peers
{

struct peer_set::impl
{
    impl(boost::asio::io_context& io, const options& opts) :
        log(opts.log), control_conn(connect(io, opts.address)),
        control(control_conn, {}), ctx{io, opts.address, log, control}
    {}

    call_log log;
    std::shared_ptr<dbus::connection> control_conn;
    object_tree control;
    service_context ctx;
    std::vector<std::unique_ptr<service>> services;
};

peer_set::peer_set(boost::asio::io_context& io, const nlohmann::json& peers,
                   const options& opts) :
    impl_(std::make_unique<impl>(io, opts))
{
    if (!peers.is_object())
    {
        throw std::invalid_argument("peers: not a JSON object");
    }
    for (const auto& [key, description] : peers.items())
    {
        try
        {
            if (!description.is_object())
            {
                throw std::invalid_argument("not a JSON object");
            }
            impl_->services.push_back(make_service(key, impl_->ctx));
            impl_->services.back()->configure(description);
        }
        catch (const std::invalid_argument& e)
        {
            throw std::invalid_argument("peers." + key + ": " + e.what());
        }
    }
    for (const auto& s : impl_->services)
    {
        s->own();
    }
    impl_->control_conn->request_name(control_service);
}

peer_set::~peer_set() = default;

nlohmann::json read_peers(const std::string& board_file)
{
    std::ifstream in(board_file);
    if (!in)
    {
        throw std::runtime_error("cannot read " + board_file);
    }
    const auto board = nlohmann::json::parse(in, nullptr, false);
    if (board.is_discarded() || !board.is_object())
    {
        throw std::runtime_error(board_file + " is not a JSON object");
    }
    return board.value("peers", nlohmann::json::object());
}

} // namespace simboard::peers
