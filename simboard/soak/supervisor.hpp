#pragma once

#include "simboard/fixture/board.hpp"
#include "simboard/soak/judge.hpp"
#include "simboard/soak/output_log.hpp"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace simboard::soak
{

using clock_type = std::chrono::steady_clock;

/** A daemon to run, and the bus name it owns (empty: none). */
struct daemon_unit
{
    std::string name;
    std::string binary;
    std::string bus_name;
};

/** One supervised daemon: its current process, its output and what
 *  happened to it so far. */
struct supervised
{
    daemon_unit unit;
    std::unique_ptr<daemon_process> process;
    std::optional<output_log> log;
    /** Lines read in the latest tick. */
    std::vector<output_line> fresh;
    /** Error lines by their key (error_key). */
    std::map<std::string, std::size_t> errors;
    std::size_t error_lines = 0;
    unsigned restarts = 0;
    /** How each process ended, in order. */
    std::vector<std::string> exits;
    std::optional<clock_type::time_point> restart_due;
    bool lost = false;
};

/** Runs the daemons on the board as systemd does with Restart=on-failure
 *  and RestartSec=5: a daemon that fails (non-zero status, crash) starts
 *  again five seconds later; one that ends cleanly stays down and is lost.
 *  Counts their error lines. */
class supervisor
{
  public:
    supervisor(board& sim, std::vector<daemon_unit> units);

    /** Reads new output, notes ended daemons and restarts those due. */
    void tick();
    /** Ends every daemon, reading its last lines first. */
    void stop_all();

    std::vector<supervised>& daemons()
    {
        return daemons_;
    }
    supervised& daemon(const std::string& name);

    /** Memory and descriptors of the daemon's process; none while down. */
    static std::optional<usage> sample(supervised& daemon);
    /** Whether the daemon answers on the bus: its connection (found by
     *  its pid) and, when it has one, its bus name take a call. */
    bool answers(supervised& daemon);

  private:
    void start(supervised& daemon);
    void read_output(supervised& daemon);

    board& sim_;
    std::vector<supervised> daemons_;
};

} // namespace simboard::soak
