#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>

// The board's drive backplanes: where their controllers answer, how many
// bays each has and at which I2C bus its bays begin.
namespace baysentry
{

/** Buses probed for a backplane; a bus's position is its index. */
inline constexpr std::array<uint8_t, 3> bpnBusList{20, 21, 22};
/** Addresses at which a backplane controller may answer, in probe order. */
inline constexpr std::array<uint8_t, 4> bpnCpldAddrList{0x33, 0x37, 0x3B, 0x3F};
/** Bays per backplane id; an id that is not listed has no bays. */
inline const std::map<uint32_t, uint8_t> bayNumTable{
    {0x1301, 10}, {0x1302, 12}, {0x1304, 8}, {0x1305, 6}, {0x2913, 2}};

/** Controller registers holding the backplane id (low, high byte). */
inline constexpr uint8_t idLowReg = 4;
inline constexpr uint8_t idHighReg = 5;

/** The first and last bus that may carry a backplane's bays. */
inline constexpr unsigned firstBayBus = 30;
inline constexpr unsigned lastBayBus = 99;
/** The start-bus search scans buses 30 to 99 this often, one second
 *  apart, before it gives up on the backplane (about a minute). */
inline constexpr unsigned startBusScans = 60;

/** Bay count and start bus of a monitored backplane: bay i sits on I2C
 *  bus start + i. */
struct BayRange
{
    uint8_t bays = 0;
    uint8_t startBus = 0;

    bool operator==(const BayRange&) const = default;
};

/** What discovery has found, by bus. Entries are overwritten by a later
 *  discovery of the same bus and never removed. */
struct Backplanes
{
    std::map<uint8_t, uint8_t> bpnCpldAddr;
    std::map<uint8_t, BayRange> bpnInfo;
};

/** Reads one register byte: 0 on success, anything else is a failure. */
using RegisterReader =
    std::function<int(uint8_t bus, uint8_t addr, uint8_t reg, uint8_t* value)>;

/** What discovery reaches outside the process. */
struct DiscoveryIo
{
    RegisterReader i2cGet;
    /** Target of a symbolic link, nothing when it cannot be read. */
    std::function<std::optional<std::string>(const std::string& path)> readLink;
    std::function<void(std::chrono::seconds)> sleep;
};

/** DiscoveryIo for the real board: i2cGet, sysfs links, a blocking
 *  sleep. */
DiscoveryIo boardDiscoveryIo();

/** Index of `bus` in bpnBusList, nothing when it is not listed. */
std::optional<unsigned> busIndex(uint8_t bus);

/** The bus a mux_device link target hangs off: the leading decimal number
 *  of its last component ("../../20-0070" is 20), nothing when that
 *  component does not begin with one. */
std::optional<unsigned> muxParentBus(const std::string& target);

/** The first bus from 30 to 99 whose mux_device link leads to `bus`,
 *  scanning again once a second; nothing after startBusScans scans. */
std::optional<uint8_t> findStartBus(uint8_t bus, const DiscoveryIo& io);

/** Finds the controller on `bus`, its id, bay count and start bus, and
 *  records a backplane with bays in `found`. */
void discoverBackplane(uint8_t bus, Backplanes& found, const DiscoveryIo& io);

} // namespace baysentry
