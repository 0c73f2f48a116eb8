#pragma once

#include "dbus/connection.hpp"
#include "dbus/match.hpp"
#include "simboard/peers/typed_value.hpp"

#include <sys/types.h>

#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace simboard::peers::test
{

/** Address of the private bus of this test program. */
const std::string& bus_address();

/** simboard-peers run on the private bus with a board file and a call
 *  log in a fresh temporary directory. */
class peers_process
{
  public:
    /** Starts it and waits for "peers ready"; throws std::runtime_error
     *  with its output when it exits or stays silent instead. */
    explicit peers_process(const nlohmann::json& board);
    peers_process(const peers_process&) = delete;
    peers_process& operator=(const peers_process&) = delete;
    ~peers_process();

    /** Sends SIGTERM and returns the wait status. */
    int stop();
    /** The call log, one entry per line. */
    std::vector<std::string> calls() const;
    /** Exit status and output of a run that must end by itself (e.g. with
     *  a bad board description). */
    static std::pair<int, std::string> run_to_exit(const nlohmann::json& board);

  private:
    std::string dir_;
    pid_t pid_ = -1;
    int out_ = -1;
};

/** A test with a client connection to the private bus and the peers of
 *  one board. */
class PeersTest : public ::testing::Test
{
  protected:
    PeersTest();

    /** Starts the peers of the "peers" object given. */
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

    boost::asio::io_context io;
    std::shared_ptr<dbus::connection> client;

  private:
    std::unique_ptr<peers_process> peers_;
    std::vector<dbus::match> matches_;
};

} // namespace simboard::peers::test
