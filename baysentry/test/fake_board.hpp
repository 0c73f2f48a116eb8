#pragma once

#include "baysentry/backplane.hpp"
#include "baysentry/presence.hpp"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

// In-process stand-ins for the controllers' registers and for what a tick
// does outside its state.
namespace baysentry_test
{

struct FakeRegisters
{
    using Key = std::tuple<uint8_t, uint8_t, uint8_t>; // bus, addr, reg

    std::map<Key, uint8_t> bytes;
    std::set<Key> failing;
    std::vector<Key> reads;

    baysentry::RegisterReader reader()
    {
        return [this](uint8_t bus, uint8_t addr, uint8_t reg, uint8_t* value) {
            Key key{bus, addr, reg};
            reads.push_back(key);
            auto byte = bytes.find(key);
            if (failing.contains(key) || byte == bytes.end())
            {
                return -1;
            }
            *value = byte->second;
            return 0;
        };
    }
};

// Records each action as text: "ReScanBus 51", "pulse", "cancel", "stop",
// "ReScan", "restart".
struct RecordingActions : baysentry::TickActions
{
    std::vector<std::string> done;
    int pulseResult = 0;

    void rescanBus(uint8_t bus) override
    {
        done.push_back("ReScanBus " + std::to_string(bus));
    }
    int pulseGpio() override
    {
        done.emplace_back("pulse");
        return pulseResult;
    }
    void cancelPoll() override
    {
        done.emplace_back("cancel");
    }
    void stopSensorService() override
    {
        done.emplace_back("stop");
    }
    void rescanEntities() override
    {
        done.emplace_back("ReScan");
    }
    void scheduleSensorRestart() override
    {
        done.emplace_back("restart");
    }
    std::vector<std::string> take()
    {
        return std::exchange(done, {});
    }
};

} // namespace baysentry_test
