#pragma once

#include "dbus/connection.hpp"
#include "dbus/match.hpp"
#include "simboard/fixture/board.hpp"
#include "simboard/peers/typed_value.hpp"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace simboard::peers::test
{

/** A run of simboard-peers on `board` (a description with "peers") that
 *  must end by itself: its exit status and output. */
std::pair<int, std::string> run_to_exit(const nlohmann::json& board);

/** A test with the peers of one simulated board and a client connection
 *  to its bus. */
class PeersTest : public ::testing::Test
{
  protected:
    /** Starts a board with the peers of the "peers" object given, in
     *  place of the last one. */
    void start(const nlohmann::json& peers);
    std::vector<std::string> calls() const;

    typed_value get(const std::string& service, const std::string& path,
                    const std::string& iface, const std::string& name);
    void set(const std::string& service, const std::string& path,
             const std::string& iface, const std::string& name,
             const typed_value& value);
    /** Calls a method with typed arguments; returns the reply's
     *  arguments as JSON. */
    nlohmann::json call(const std::string& service, const std::string& path,
                        const std::string& iface, const std::string& member,
                        const std::vector<typed_value>& args = {});
    /** Name of the dbus::error that f throws, "" when it throws none. */
    static std::string error_of(const std::function<void()>& f);
    /** Runs the client's io until done() or 5 seconds. */
    bool run_until(const std::function<bool()>& done);
    /** Collects the arguments of every signal matching rule. */
    std::shared_ptr<std::vector<nlohmann::json>> watch_changes(
        const std::string& rule);

    /** The board's own connection. */
    dbus::connection* client = nullptr;

  private:
    std::vector<dbus::match> matches_;
    std::optional<simboard::board> board_;
};

} // namespace simboard::peers::test
