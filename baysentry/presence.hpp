#pragma once

#include "baysentry/backplane.hpp"

#include <array>
#include <cstdint>
#include <map>

// Presence polling of the backplanes' bays: which bays changed, when the
// presence has been quiet long enough, and which buses to rescan.
namespace baysentry
{

/** Presence registers of a backplane controller: bays 0-7, 8-15, 16-23,
 *  24-31. */
inline constexpr std::array<uint8_t, 4> presenceRegs{16, 17, 18, 19};
/** Line numbers printed when a presence register read fails, by
 *  register. */
inline constexpr std::array<int, 4> presenceReadFailLines{207, 229, 251, 273};

/** What a tick does outside its own state. */
class TickActions
{
  public:
    virtual ~TickActions() = default;
    /** FRU service: rescan one I2C bus. */
    virtual void rescanBus(uint8_t bus) = 0;
    /** Pulses GPIO line 104; the command's result. */
    virtual int pulseGpio() = 0;
    /** Cancels a wait pending on the poll timer. */
    virtual void cancelPoll() = 0;
    virtual void stopSensorService() = 0;
    /** EntityManager: probe the configuration again. */
    virtual void rescanEntities() = 0;
    /** Starts the sensor service again after the restart delay (a restart
     *  still pending is replaced). */
    virtual void scheduleSensorRestart() = 0;
};

/** The presence history of all backplanes and the change handling state.
 *  Lives for the whole process: stopping and restarting the polling keeps
 *  it. */
class PresenceState
{
  public:
    /** One poll: reads the presence registers of every monitored
     *  backplane and acts on the changes. Arming the next poll is the
     *  caller's. */
    void tick(const Backplanes& backplanes, const RegisterReader& i2cGet,
              TickActions& actions);

    /** Asks the FRU service to rescan the bus of every bay whose bit
     *  changed since the last pass, once each, and forgets the changes. */
    void rescanNVMeBus(const Backplanes& backplanes, TickActions& actions);

  private:
    using RegisterBytes = std::array<std::array<uint8_t, 4>, 3>;

    void readPresence(uint8_t bus, const BayRange& range, uint8_t addr,
                      const RegisterReader& i2cGet);
    void handleChange(const Backplanes& backplanes, TickActions& actions);
    void restartSensors(TickActions& actions);
    bool anyDiff() const;

    RegisterBytes lastPresent{};
    RegisterBytes presentDiff{};
    /** Changed bays by bus index since the last rescan pass. */
    std::map<uint8_t, uint32_t> presentChangeState;
    unsigned stableTicks = 0;
    bool presentChanged = false;
    bool busRescanned = false;
};

} // namespace baysentry
