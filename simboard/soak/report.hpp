#pragma once

#include "simboard/soak/board_actions.hpp"
#include "simboard/soak/cpld_updates.hpp"
#include "simboard/soak/judge.hpp"
#include "simboard/soak/supervisor.hpp"

#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace simboard::soak
{

/** The figures a run gathered beside the supervisor's and the actions'
 *  own counts. */
struct run_record
{
    /** "start", "1/10" ... "9/10", "end". */
    std::vector<std::string> marks;
    /** Per daemon, one sample per mark. */
    std::map<std::string, std::vector<std::optional<usage>>> samples;
    std::map<std::string, bool> answers;
    /** What the daemons asked of the board's peers and shell, by call. */
    std::map<std::string, std::size_t> board_calls;
};

/** One line of the daemons' memory and descriptors at a mark. */
void print_progress(std::ostream& out, const std::string& mark, double minutes,
                    const run_record& record, std::vector<supervised>& daemons);

/** The whole report and its verdict line; true when the run passed: no
 *  growth, no daemon lost, every update honest, released and not cut
 *  short by fwkeeper ending. */
bool print_report(std::ostream& out, const run_record& record,
                  std::vector<supervised>& daemons,
                  const board_actions& actions, const update_tally& updates);

} // namespace simboard::soak
