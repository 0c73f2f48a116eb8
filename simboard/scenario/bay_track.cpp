// baysentry on the sample board: backplanes on buses 20, 21 and 22 (8, 10
// and 12 bays from buses 30, 38 and 48), presence polled every 2 s once
// the OS state says Standby. Four quiet polls after a change the FRU
// service rescans the changed bays' buses; one poll later the NVMe sensor
// service stops and EntityManager rescans; 10 s later the service starts.
#include "simboard/fixture/time_scale.hpp"
#include "simboard/scenario/sample_tracks.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>

namespace simboard::scenario
{

namespace
{

using namespace std::chrono_literals;

constexpr auto poll_interval = 2s;
constexpr const char* os_service = "xyz.openbmc_project.State.OperatingSystem";
constexpr const char* os_path = "/xyz/openbmc_project/state/os";
constexpr const char* os_interface =
    "xyz.openbmc_project.State.OperatingSystem.Status";
constexpr const char* sensor_service = "xyz.openbmc_project.nvmesensor.service";

// Bay 8 of the bus 21 backplane: bit 0 of its register 17, on bus 46.
constexpr unsigned bay_bus = 21;
constexpr uint8_t bay_controller = 0x37;
constexpr uint8_t bay_register = 0x11;

/** A record that follows the insertion: one more line holding `text` in
 *  the commands the daemons ran, or in the calls the peers got, than there
 *  was before it. */
struct follower
{
    std::string step;
    std::vector<std::string> (board::*records)() const;
    std::string text;
    std::chrono::milliseconds bound;
};

std::vector<follower> followers()
{
    // The poll after the rescan stops the service and asks EntityManager
    // to rescan; the service starts 10 s later.
    return {
        {"the nvmesensor service stops", &board::commands,
         std::string("systemctl stop ") + sensor_service,
         poll_interval + scaled(5s)},
        {"EntityManager rescans", &board::peer_calls, "EntityManager ReScan()",
         scaled(5s)},
        {"the nvmesensor service starts again", &board::commands,
         std::string("systemctl start ") + sensor_service, 10s + scaled(5s)},
    };
}

/** When the drive went in, and how many lines of each follower's records
 *  there were then. */
struct insertion
{
    double at = 0;
    std::vector<std::size_t> before;
};

std::size_t count_of(session& s, const follower& f)
{
    return session::count((s.sim.*f.records)(), f.text);
}

std::string since(const session& s, const insertion& in)
{
    char text[48];
    std::snprintf(text, sizeof(text), ", %.1f s after the insertion",
                  s.log.now() - in.at);
    return text;
}

step baysentry_listens(session& s)
{
    return {"baysentry watches the OS state", scaled(10s), nullptr, [&s] {
                if (!s.serves_bus(s.daemon("baysentry").pid()))
                {
                    return sight::pending();
                }
                return sight::seen("baysentry is on the bus, watching the OS "
                                   "state");
            }};
}

step standby(session& s)
{
    return {"the OS state reaches Standby", scaled(10s),
            [&s] {
                auto host = s.get<std::string>(
                    "xyz.openbmc_project.State.Host",
                    "/xyz/openbmc_project/state/host0",
                    "xyz.openbmc_project.State.Host", "CurrentHostState");
                // baysentry asked at start-up and found Standby already;
                // setting it again is no change: away and back.
                for (const char* state : {"Inactive", "Standby"})
                {
                    s.set<std::string>(os_service, os_path, os_interface,
                                       "OperatingSystemState", state);
                }
                return "host " + host.substr(host.rfind('.') + 1) +
                       "; OperatingSystemState set to Inactive, then Standby";
            },
            [&s] {
                if (s.daemon("baysentry").count("Get Post Complete") == 0)
                {
                    return sight::pending();
                }
                return sight::seen(
                    "OperatingSystemState = " +
                    s.get<std::string>(os_service, os_path, os_interface,
                                       "OperatingSystemState") +
                    ": baysentry starts monitoring");
            }};
}

/** "N bays from bus B, ..." for each backplane with a start bus that
 *  baysentry reported, once: it discovers them again each time it starts
 *  monitoring. */
std::string backplanes_in(daemon_process& baysentry)
{
    std::string found;
    std::set<int> start_buses;
    for (const auto& line : baysentry.lines(output_line::stream::err))
    {
        int bays = 0;
        int start_bus = 0;
        if (std::sscanf(line.c_str(), "bpn bay num:%d, nvme start bus:%d",
                        &bays, &start_bus) == 2 &&
            start_bus != 0 && start_buses.insert(start_bus).second)
        {
            found += (found.empty() ? "" : ", ") + std::to_string(bays) +
                     " bays from bus " + std::to_string(start_bus);
        }
    }
    return found;
}

step backplanes_found(session& s)
{
    return {"the backplanes are discovered", scaled(10s), nullptr, [&s] {
                const auto found = backplanes_in(s.daemon("baysentry"));
                if (std::count(found.begin(), found.end(), ',') < 2)
                {
                    return sight::pending();
                }
                return sight::seen("backplanes discovered: " + found);
            }};
}

step polling(session& s)
{
    // The first poll follows discovery at once and sets the baseline.
    return {"presence polling runs", poll_interval + scaled(5s), nullptr, [&s] {
                if (s.sim.i2c()
                        .log({bay_bus, bay_controller, bay_register})
                        .empty())
                {
                    return sight::pending();
                }
                return sight::seen("presence polled (bus 21 register 17 "
                                   "read)");
            }};
}

step rescan_bus(session& s, const std::shared_ptr<insertion>& in)
{
    // The poll after the insertion sees it, and the rescan follows four
    // quiet polls later.
    return {
        "FRU ReScanBus for the new drive's bus", 6 * poll_interval + scaled(5s),
        [&s, in] {
            in->at = s.log.now();
            for (const auto& f : followers())
            {
                in->before.push_back(count_of(s, f));
            }
            s.sim.i2c().write_register(bay_bus, bay_controller, bay_register,
                                       0x03);
            return std::string("drive inserted into bay 8 of the bus 21 "
                               "backplane: register 17 = 0x03");
        },
        [&s, in] {
            if (session::count(s.sim.peer_calls(), "ReScanBus(y) [46]") == 0)
            {
                return sight::pending();
            }
            return sight::seen("FRU ReScanBus(46) seen" + since(s, *in));
        }};
}

step follows(session& s, const std::shared_ptr<insertion>& in,
             const follower& f, std::size_t index)
{
    return {f.step, f.bound, nullptr, [&s, in, f, index] {
                if (count_of(s, f) <= in->before.at(index))
                {
                    return sight::pending();
                }
                return sight::seen(f.text + " seen" + since(s, *in));
            }};
}

} // namespace

track bay_track(session& s)
{
    auto in = std::make_shared<insertion>();
    track steps{baysentry_listens(s), standby(s), backplanes_found(s),
                polling(s), rescan_bus(s, in)};
    auto after = followers();
    for (std::size_t i = 0; i < after.size(); ++i)
    {
        steps.push_back(follows(s, in, after[i], i));
    }
    return steps;
}

} // namespace simboard::scenario
