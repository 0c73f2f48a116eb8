#include "simboard/peers/test/peers_fixture.hpp"

#include "dbus/error.hpp"
#include "dbus/properties.hpp"
#include "simboard/fixture/time_scale.hpp"

#include <chrono>

namespace simboard::peers::test
{

using namespace std::chrono_literals;

std::pair<int, std::string> run_to_exit(const nlohmann::json& board)
{
    simboard::board sim(nlohmann::json::object());
    sim.write_file("/tmp/peers.json", board.dump(2));
    auto peers = sim.start_command(
        {SIMBOARD_PEERS_BIN, "--address", sim.bus_address(), "--board",
         "/tmp/peers.json", "--log", "/tmp/calls.log"});
    const std::optional<int> status = peers->wait_exit(scaled(10s));
    peers->stop(); // in case it did not end by itself
    return {status.value_or(-1), peers->transcript()};
}

void PeersTest::start(const nlohmann::json& peers)
{
    // The matches live on the connection of the board they watch.
    matches_.clear();
    client = nullptr;
    board_.reset(); // its names must be free for the next one
    board_.emplace(nlohmann::json{{"peers", peers}});
    client = &board_->client();
}

std::vector<std::string> PeersTest::calls() const
{
    return board_->peer_calls();
}

typed_value PeersTest::get(const std::string& service, const std::string& path,
                           const std::string& iface, const std::string& name)
{
    const nlohmann::json reply = call(service, path, dbus::properties_interface,
                                      "Get", {{"s", iface}, {"s", name}});
    return parse_typed_value(reply.at(0));
}

void PeersTest::set(const std::string& service, const std::string& path,
                    const std::string& iface, const std::string& name,
                    const typed_value& value)
{
    call(service, path, dbus::properties_interface, "Set",
         {{"s", iface}, {"s", name}, {"v", to_json(value)}});
}

nlohmann::json PeersTest::call(
    const std::string& service, const std::string& path,
    const std::string& iface, const std::string& member,
    const std::vector<typed_value>& args)
{
    dbus::message m = client->new_method_call(service, path, iface, member);
    for (const typed_value& arg : args)
    {
        append_value(m.get(), arg);
    }
    dbus::message reply = client->call(m);
    return read_arguments(reply.get());
}

std::string PeersTest::error_of(const std::function<void()>& f)
{
    try
    {
        f();
    }
    catch (const dbus::error& e)
    {
        return e.name();
    }
    return "";
}

bool PeersTest::run_until(const std::function<bool()>& done)
{
    boost::asio::io_context& io = board_->io();
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!done() && std::chrono::steady_clock::now() < deadline)
    {
        io.restart();
        io.run_one_for(10ms);
    }
    return done();
}

std::shared_ptr<std::vector<nlohmann::json>> PeersTest::watch_changes(
    const std::string& rule)
{
    auto seen = std::make_shared<std::vector<nlohmann::json>>();
    matches_.emplace_back(*client, rule, [seen](dbus::message& m) {
        seen->push_back(read_arguments(m.get()));
    });
    return seen;
}

} // namespace simboard::peers::test
