#include "platform/chassis_state.hpp"

namespace chassis
{

namespace
{

const std::string interface_prefix = "xyz.openbmc_project.State.Chassis.";

} // namespace

std::string convertPowerStateToString(PowerState state)
{
    const char* name = "Off";
    switch (state)
    {
        case PowerState::Off:
            name = "Off";
            break;
        case PowerState::TransitioningToOff:
            name = "TransitioningToOff";
            break;
        case PowerState::On:
            name = "On";
            break;
        case PowerState::TransitioningToOn:
            name = "TransitioningToOn";
            break;
    }
    return interface_prefix + "PowerState." + name;
}

std::string convertTransitionToString(Transition transition)
{
    const char* name = "Off";
    switch (transition)
    {
        case Transition::Off:
            name = "Off";
            break;
        case Transition::On:
            name = "On";
            break;
        case Transition::PowerCycle:
            name = "PowerCycle";
            break;
    }
    return interface_prefix + "Transition." + name;
}

} // namespace chassis
