#include "baysentry/presence.hpp"

#include "platform/log_line.hpp"

#include <vector>

namespace baysentry
{

namespace
{

// Registers 16, 17, 18, 19 cover up to 8, 16, 24, 32 bays.
unsigned registersFor(uint8_t bays)
{
    return (bays + 7u) / 8u;
}

} // namespace

void PresenceState::tick(const Backplanes& backplanes,
                         const RegisterReader& i2cGet, TickActions& actions)
{
    for (const auto& [bus, range] : backplanes.bpnInfo)
    {
        readPresence(bus, range, backplanes.bpnCpldAddr.at(bus), i2cGet);
    }
    if (presentChanged)
    {
        handleChange(backplanes, actions);
    }
}

void PresenceState::readPresence(uint8_t bus, const BayRange& range,
                                 uint8_t addr, const RegisterReader& i2cGet)
{
    const unsigned k = *busIndex(bus);
    const unsigned count =
        std::min<unsigned>(registersFor(range.bays), presenceRegs.size());
    for (unsigned r = 0; r < count; ++r)
    {
        uint8_t value = 0;
        if (i2cGet(bus, addr, presenceRegs[r], &value) != 0)
        {
            platform::log_format(stderr, "%s:%d\n", "wakeMonitorTimerStart",
                                 presenceReadFailLines[r]);
            return;
        }
        if (value != lastPresent[k][r])
        {
            presentDiff[k][r] = lastPresent[k][r] ^ value;
            lastPresent[k][r] = value;
            presentChanged = true;
        }
        presentChangeState[static_cast<uint8_t>(k)] |=
            static_cast<uint32_t>(presentDiff[k][r]) << (8 * r);
    }
}

void PresenceState::handleChange(const Backplanes& backplanes,
                                 TickActions& actions)
{
    if (stableTicks % 5 == 0)
    {
        rescanNVMeBus(backplanes, actions);
        busRescanned = true;
        if (actions.pulseGpio() < 0)
        {
            platform::log_format(stderr, "%s:%d, monitor timer be canceled\n",
                                 "wakeMonitorTimerStart", 306);
            actions.cancelPoll();
        }
    }
    if (busRescanned && stableTicks != 0 && stableTicks % 6 == 0)
    {
        restartSensors(actions);
    }
    if (anyDiff())
    {
        presentDiff = {};
        stableTicks = 1;
    }
    else
    {
        ++stableTicks;
    }
}

void PresenceState::restartSensors(TickActions& actions)
{
    busRescanned = false;
    // A change read in this very tick is not in any rescan pass yet: keep
    // counting for it.
    presentChanged = anyDiff();
    actions.stopSensorService();
    actions.rescanEntities();
    platform::log_format(stderr, "%s:%d, EntityManager ReScan\n",
                         "wakeMonitorTimerStart", 335);
    actions.scheduleSensorRestart();
    stableTicks = 0;
}

bool PresenceState::anyDiff() const
{
    for (const auto& bytes : presentDiff)
    {
        for (uint8_t diff : bytes)
        {
            if (diff != 0)
            {
                return true;
            }
        }
    }
    return false;
}

void PresenceState::rescanNVMeBus(const Backplanes& backplanes,
                                  TickActions& actions)
{
    if (presentChangeState.empty())
    {
        return;
    }
    for (const auto& [bus, range] : backplanes.bpnInfo)
    {
        const auto k = static_cast<uint8_t>(*busIndex(bus));
        auto word = presentChangeState.find(k);
        const uint32_t changed =
            word == presentChangeState.end() ? 0 : word->second;
        platform::log_format(stderr, "[%d]present change state: 0x%08X\n", k,
                             changed);

        std::vector<uint8_t> buses;
        for (unsigned bay = 0; bay < range.bays && bay < 32; ++bay)
        {
            if ((changed >> bay) & 1u)
            {
                const int bayBus = range.startBus + bay;
                buses.push_back(static_cast<uint8_t>(bayBus));
                platform::log_format(stderr, "%s:%d, bus:%d\n", "rescanNVMeBus",
                                     150, bayBus);
            }
        }
        for (uint8_t bayBus : buses)
        {
            actions.rescanBus(bayBus);
            platform::log_format(stderr, "%s:%d, scan bus:%d\n",
                                 "rescanNVMeBus", 171, bayBus);
        }
    }
    presentChangeState.clear();
}

} // namespace baysentry
