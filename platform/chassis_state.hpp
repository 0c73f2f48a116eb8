#pragma once

#include <string>

// The string forms of the public chassis state enumerations
// (xyz.openbmc_project.State.Chassis), as the generated interface code
// renders them on the bus.
namespace chassis
{

enum class PowerState
{
    Off,
    TransitioningToOff,
    On,
    TransitioningToOn,
};

enum class Transition
{
    Off,
    On,
    PowerCycle,
};

std::string convertPowerStateToString(PowerState state);
std::string convertTransitionToString(Transition transition);

} // namespace chassis
