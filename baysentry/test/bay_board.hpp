#pragma once

#include "simboard/fixture/daemon_board.hpp"
#include "simboard/fixture/time_scale.hpp"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// A simulated board with drive backplanes, the peers baysentry talks to
// and the baysentry daemon itself, for the tests and the benchmark.
namespace baysentry_test
{

using namespace std::chrono_literals;

struct Backplane
{
    unsigned bus;
    std::uint8_t address;
    std::uint16_t id;
    /** Presence register → byte; unlisted registers read 0. */
    std::map<std::uint8_t, std::uint8_t> presence = {};
};

/** A board description: the backplanes on their buses (20, 21, 22 are
 *  always there), the given mux_device links (bay bus → target) and the
 *  OS state, FRU and EntityManager peers with the OS state "Inactive". */
nlohmann::json boardWith(const std::vector<Backplane>& backplanes,
                         const std::map<unsigned, std::string>& links,
                         bool withPeers = true);

/** Links of `count` bay buses from `first` on to a mux on `bus`. */
void linkBays(std::map<unsigned, std::string>& links, unsigned first,
              unsigned count, unsigned bus);

class BayBoard : public simboard::daemon_board
{
  public:
    using simboard::daemon_board::daemon_board;

    /** Starts baysentry (under `argv` when given, a command that ends by
     *  running it) and waits until it listens on the bus. */
    bool start(const std::vector<std::string>& argv = {});
    /** Whether the daemon has handled everything sent to it so far. */
    bool listening();

    /** Sets the OS state peer's "OperatingSystemState". */
    void setOsState(const std::string& value);
    /** Sends a PropertiesChanged of the OS state object from the test's
     *  connection carrying one string property. */
    void emitOsChange(const std::string& property, const std::string& value);

    /** Reads of a presence register so far. */
    std::size_t reads(unsigned bus, std::uint8_t reg);
    /** Waits until the reads of a presence register reach n. */
    bool waitForReads(unsigned bus, std::uint8_t reg, std::size_t n,
                      std::chrono::milliseconds timeout = 30s);

    /** FRU calls so far, e.g. "ReScanBus(y) [30]". */
    std::vector<std::string> fruCalls() const;
    /** EntityManager "ReScan" calls so far. */
    std::size_t entityRescans() const;
};

/** The commands of one GPIO 104 pulse, as the fake commands record them. */
std::vector<std::string> pulseCommands();

} // namespace baysentry_test
