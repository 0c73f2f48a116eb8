#pragma once

#include "simboard/scenario/session.hpp"
#include "simboard/scenario/timeline.hpp"

namespace simboard::scenario
{

// The scenario of the sample board (simboard/boards/sample_board.json),
// one track per daemon; each bound is the daemon's own timers plus a margin
// for the work in between, stretched in slower builds.

/** drivetherm: both M.2 temperatures appear, drive 1 heats past its
 *  warning threshold and cools again, a threshold is written over D-Bus
 *  and lands at EntityManager. */
track sensor_track(session& s);

/** baysentry: the OS state reaches Standby again, the backplanes are
 *  found, a drive is inserted and the rescans and the sensor service
 *  restart follow. */
track bay_track(session& s);

/** fwkeeper: the CPLD versions, a backplane CPLD update to a new usercode,
 *  and a corrupted image refused with the CPLD left as it was. */
track cpld_track(session& s);

} // namespace simboard::scenario
