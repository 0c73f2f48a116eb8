#pragma once

#include "simboard/fixture/board.hpp"

#include <map>
#include <random>
#include <set>
#include <string>

namespace simboard::soak
{

/** How often an action ran and how often the board or a daemon refused
 *  it (an error reply, e.g. while the peers are away). */
struct action_count
{
    unsigned done = 0;
    unsigned refused = 0;
};

/** The random changes a soak makes to the running board, apart from CPLD
 *  updates. Each picks its target and value from the soak's generator. */
class board_actions
{
  public:
    board_actions(board& sim, std::mt19937& random) : sim_(sim), random_(random)
    {}

    /** A new temperature byte on an M.2 drive, now and then one that
     *  reads as no value, or the drive falls silent or answers again. */
    void swing_temperature();
    /** A threshold of a sensor written through drivetherm. */
    void write_threshold();
    /** A drive inserted into or pulled from a backplane bay. */
    void flip_presence();
    /** The OS state moved to Standby (in one of its two forms) or away. */
    void flip_os_state();
    /** An M.2 record that is there changes a value or is announced as
     *  changed. */
    void change_record();
    /** An M.2 record vanishes; it comes back with the peers. */
    void remove_record();
    /** Every peer leaves the bus; `restore_peers` brings them back with
     *  their described state (a start that fails counts as refused and
     *  leaves them away for another try). */
    void stop_peers();
    void restore_peers();

    bool peers_away() const
    {
        return peers_away_;
    }
    const std::map<std::string, action_count>& counts() const
    {
        return counts_;
    }

  private:
    template <typename Action>
    void run(const std::string& name, Action action);
    unsigned pick(unsigned count);

    board& sim_;
    std::mt19937& random_;
    std::map<std::string, action_count> counts_;
    std::set<std::string> removed_;
    bool peers_away_ = false;
};

} // namespace simboard::soak
