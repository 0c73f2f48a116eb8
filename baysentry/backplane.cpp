#include "baysentry/backplane.hpp"

#include "platform/log_line.hpp"
#include "platform/tarn_util.hpp"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <system_error>
#include <thread>

namespace baysentry
{

namespace
{

std::optional<std::string> readSymlink(const std::string& path)
{
    std::error_code ec;
    auto target = std::filesystem::read_symlink(path, ec);
    if (ec)
    {
        return std::nullopt;
    }
    return target.string();
}

std::string muxLinkPath(unsigned bus)
{
    return "/sys/bus/i2c/devices/i2c-" + std::to_string(bus) + "/mux_device";
}

bool linkLeadsTo(unsigned bayBus, uint8_t bus, const DiscoveryIo& io)
{
    auto target = io.readLink(muxLinkPath(bayBus));
    if (!target)
    {
        return false;
    }
    auto parent = muxParentBus(*target);
    return parent && *parent == bus;
}

std::optional<uint8_t> scanBayBuses(uint8_t bus, const DiscoveryIo& io)
{
    for (unsigned bayBus = firstBayBus; bayBus <= lastBayBus; ++bayBus)
    {
        if (linkLeadsTo(bayBus, bus, io))
        {
            return static_cast<uint8_t>(bayBus);
        }
    }
    return std::nullopt;
}

// The first address of bpnCpldAddrList whose register 4 answers, with the
// byte read.
std::optional<std::pair<uint8_t, uint8_t>> findController(uint8_t bus,
                                                          const DiscoveryIo& io)
{
    for (uint8_t addr : bpnCpldAddrList)
    {
        uint8_t low = 0;
        if (io.i2cGet(bus, addr, idLowReg, &low) == 0)
        {
            return std::make_pair(addr, low);
        }
    }
    return std::nullopt;
}

// The backplane id (0: no controller, -1: the high byte did not read);
// records the controller's address when both bytes read.
int readBackplaneId(uint8_t bus, Backplanes& found, const DiscoveryIo& io)
{
    auto controller = findController(bus, io);
    if (!controller)
    {
        return 0;
    }
    auto [addr, low] = *controller;
    uint8_t high = 0;
    if (io.i2cGet(bus, addr, idHighReg, &high) != 0)
    {
        return -1;
    }
    found.bpnCpldAddr[bus] = addr;
    return low | (high << 8);
}

uint8_t bayCount(int id)
{
    auto entry = bayNumTable.find(static_cast<uint32_t>(id));
    return entry == bayNumTable.end() ? 0 : entry->second;
}

} // namespace

DiscoveryIo boardDiscoveryIo()
{
    return {
        .i2cGet = ::i2cGet,
        .readLink = readSymlink,
        .sleep = [](std::chrono::seconds s) { std::this_thread::sleep_for(s); },
    };
}

std::optional<unsigned> busIndex(uint8_t bus)
{
    const auto* at = std::find(bpnBusList.begin(), bpnBusList.end(), bus);
    if (at == bpnBusList.end())
    {
        return std::nullopt;
    }
    return static_cast<unsigned>(at - bpnBusList.begin());
}

std::optional<unsigned> muxParentBus(const std::string& target)
{
    std::string name = std::filesystem::path(target).filename().string();
    unsigned number = 0;
    auto [end,
          ec] = std::from_chars(name.data(), name.data() + name.size(), number);
    if (ec != std::errc())
    {
        return std::nullopt;
    }
    return number;
}

std::optional<uint8_t> findStartBus(uint8_t bus, const DiscoveryIo& io)
{
    for (unsigned scan = 1;; ++scan)
    {
        if (auto start = scanBayBuses(bus, io))
        {
            return start;
        }
        if (scan == startBusScans)
        {
            return std::nullopt;
        }
        io.sleep(std::chrono::seconds(1));
    }
}

void discoverBackplane(uint8_t bus, Backplanes& found, const DiscoveryIo& io)
{
    int id = readBackplaneId(bus, found, io);
    uint8_t bays = bayCount(id);
    unsigned startBus = 0; // printed when no start bus was searched for
    if (id != 0 && id != -1)
    {
        auto start = findStartBus(bus, io);
        if (!start)
        {
            platform::log_format(
                stderr,
                "bpn bus:%d, no nvme start bus found on buses %u to %u "
                "after %u scans, backplane not monitored\n",
                bus, firstBayBus, lastBayBus, startBusScans);
            return;
        }
        startBus = *start;
        if (bays != 0)
        {
            found.bpnInfo[bus] = BayRange{bays, *start};
        }
    }
    platform::log_format(stderr, "bpn bay num:%d, nvme start bus:%d\n", bays,
                         startBus);
}

} // namespace baysentry
