// simboard-soak: runs the daemons on a simulated board for a set time
// under random load (temperature swings, threshold writes, presence
// changes, OS state flips, EntityManager records changing and vanishing,
// the peers leaving and coming back, CPLD updates with good and corrupt
// images and injected I2C faults) and reports per daemon its memory and
// descriptors over the run, its errors and restarts, whether it still
// answers, and whether every update told the truth.
#include "simboard/fixture/board.hpp"
#include "simboard/fixture/stop_signals.hpp"
#include "simboard/fixture/time_scale.hpp"
#include "simboard/soak/board_actions.hpp"
#include "simboard/soak/cpld_updates.hpp"
#include "simboard/soak/report.hpp"
#include "simboard/soak/supervisor.hpp"

#include <signal.h>

#include <algorithm>
#include <array>
#include <functional>
#include <iostream>
#include <random>
#include <thread>

namespace
{

using namespace std::chrono_literals;
using namespace simboard::soak;
using seconds = std::chrono::duration<double>;

void usage_message()
{
    std::cerr << "usage: simboard-soak --minutes N [--seed S] [--board FILE]\n"
                 "Runs the daemons on the board (default: the sample board) "
                 "for N minutes\nunder random load and reports how they "
                 "fared. Ctrl-C ends the run early.\n";
}

struct options
{
    double minutes = 0;
    std::uint32_t seed = std::random_device{}();
    std::filesystem::path board = SIMBOARD_SAMPLE_BOARD;
};

std::optional<options> parse(int argc, char** argv)
{
    options opts;
    try
    {
        for (int i = 1; i + 1 < argc; i += 2)
        {
            const std::string arg = argv[i];
            if (arg == "--minutes")
            {
                opts.minutes = std::stod(argv[i + 1]);
            }
            else if (arg == "--seed")
            {
                opts.seed = static_cast<std::uint32_t>(std::stoul(argv[i + 1]));
            }
            else if (arg == "--board")
            {
                opts.board = argv[i + 1];
            }
            else
            {
                return std::nullopt;
            }
        }
    }
    catch (const std::exception&)
    {
        return std::nullopt;
    }
    if (argc % 2 == 0 || !(opts.minutes > 0))
    {
        return std::nullopt;
    }
    return opts;
}

/** An action repeated at random intervals. */
struct recurring
{
    seconds shortest;
    seconds longest;
    std::function<void()> act;
    simboard::soak::clock_type::time_point due{};
};

class soak_run
{
  public:
    soak_run(simboard::board& sim, const options& opts) :
        sim_(sim), random_(opts.seed),
        length_(std::chrono::duration_cast<clock_type::duration>(
            seconds(opts.minutes * 60))),
        daemons_(sim, {{"drivetherm", DRIVETHERM_BIN,
                        "xyz.openbmc_project.M2Sensor"},
                       {"fwkeeper", FWKEEPER_BIN,
                        "xyz.openbmc_project.Software.CPLD.Mgr"},
                       {"baysentry", BAYSENTRY_BIN, ""}}),
        actions_(sim, random_), updates_(sim, daemons_, random_)
    {
        // The peers leave a few times a run, for a few seconds each.
        const seconds outage =
            std::clamp(seconds(length_) / 5, seconds(60s), seconds(6min));
        schedule_ = {
            {1s, 4s, [this] { actions_.swing_temperature(); }},
            {4s, 15s, [this] { actions_.write_threshold(); }},
            {8s, 30s, [this] { actions_.flip_presence(); }},
            {15s, 60s, [this] { actions_.flip_os_state(); }},
            {10s, 40s, [this] { actions_.change_record(); }},
            {60s, 180s, [this] { actions_.remove_record(); }},
            {outage * 0.7, outage * 1.3, [this] { take_peers_away(); }},
            {5s, 20s, [this] { start_update(); }},
        };
    }

    /** Runs until the time is up or a stop signal arrives; true when the
     *  run passed. */
    bool run(const sigset_t& stop_signals)
    {
        wait_for_daemons();
        const auto start = clock_type::now();
        take_samples("start", start);
        for (auto& action : schedule_)
        {
            action.due = start + random_interval(0s, action.longest);
        }
        timespec no_wait{0, 0};
        int tenth = 1;
        while (clock_type::now() < start + length_ &&
               sigtimedwait(&stop_signals, nullptr, &no_wait) < 0)
        {
            // fwkeeper holds a whole image while it updates: its figures
            // are taken between updates.
            if (tenth < 10 &&
                clock_type::now() >= start + length_ * tenth / 10 &&
                !updates_.running())
            {
                take_samples(std::to_string(tenth) + "/10", start);
                ++tenth;
            }
            step();
            std::this_thread::sleep_for(100ms);
        }
        wind_down();
        take_samples("end", start);
        for (auto& daemon : daemons_.daemons())
        {
            record_.answers[daemon.unit.name] = daemons_.answers(daemon);
        }
        count_board_calls();
        const bool pass = print_report(std::cout, record_, daemons_.daemons(),
                                       actions_, updates_.tally());
        daemons_.stop_all();
        return pass;
    }

  private:
    clock_type::duration random_interval(seconds shortest, seconds longest)
    {
        return std::chrono::duration_cast<clock_type::duration>(
            seconds(std::uniform_real_distribution<double>(
                shortest.count(), longest.count())(random_)));
    }

    void poll_bus()
    {
        if (sim_.io().stopped())
        {
            sim_.io().restart();
        }
        sim_.io().poll();
    }

    // Supervises the daemons and follows a running update.
    void follow()
    {
        daemons_.tick();
        poll_bus();
        updates_.follow();
    }

    void step()
    {
        follow();
        const auto now = clock_type::now();
        if (actions_.peers_away() && now >= peers_back_)
        {
            actions_.restore_peers();
        }
        for (auto& action : schedule_)
        {
            if (now >= action.due)
            {
                action.act();
                action.due = now +
                             random_interval(action.shortest, action.longest);
            }
        }
    }

    // The peers do not leave in the middle of an update: what the
    // attempt found on the board would say nothing then.
    void take_peers_away()
    {
        if (actions_.peers_away() || updates_.running())
        {
            return;
        }
        actions_.stop_peers();
        peers_back_ = clock_type::now() + random_interval(5s, 20s);
    }

    void start_update()
    {
        if (!updates_.running())
        {
            updates_.start();
        }
    }

    // Gives the daemons time to take their names and connect.
    void wait_for_daemons()
    {
        simboard::wait_until(
            [this] {
                daemons_.tick();
                return std::ranges::all_of(daemons_.daemons(),
                                           [this](supervised& daemon) {
                                               return daemons_.answers(daemon);
                                           });
            },
            simboard::scaled(30s));
    }

    // Lets a running update end and brings back what is away or down, so
    // that the last figures are of a whole board.
    void wind_down()
    {
        simboard::wait_until(
            [this] {
                follow();
                return !updates_.running();
            },
            simboard::scaled(200s));
        if (actions_.peers_away())
        {
            actions_.restore_peers();
        }
        simboard::wait_until(
            [this] {
                daemons_.tick();
                return std::ranges::none_of(
                    daemons_.daemons(),
                    [](supervised& d) { return d.restart_due.has_value(); });
            },
            10s);
        std::this_thread::sleep_for(simboard::scaled(3s));
        daemons_.tick();
    }

    // Signs of the daemons' work that shows nowhere else: baysentry's
    // rescans and service restarts, drivetherm's stored thresholds.
    void count_board_calls()
    {
        const std::array<std::pair<const char*, std::string_view>, 4>
            peer_call_kinds{
                {{"FRU ReScanBus", "ReScanBus("},
                 {"EntityManager ReScan", "ReScan()"},
                 {"EntityManager GetManagedObjects", "GetManagedObjects()"},
                 {"threshold stored at EntityManager",
                  "Set(ssv) [\"xyz.openbmc_project.Configuration."
                  "M2Sensor.Thresholds"}}};
        for (const auto& line : sim_.peer_calls())
        {
            for (const auto& [name, text] : peer_call_kinds)
            {
                if (line.find(text) != std::string::npos)
                {
                    ++record_.board_calls[name];
                }
            }
        }
        for (const auto& command : sim_.commands())
        {
            ++record_.board_calls["command " +
                                  command.substr(0, command.find(' '))];
        }
    }

    void take_samples(const std::string& mark, clock_type::time_point start)
    {
        record_.marks.push_back(mark);
        for (auto& daemon : daemons_.daemons())
        {
            record_.samples[daemon.unit.name].push_back(
                supervisor::sample(daemon));
        }
        const double minutes =
            seconds(clock_type::now() - start).count() / 60.0;
        print_progress(std::cout, mark, minutes, record_, daemons_.daemons());
    }

    simboard::board& sim_;
    std::mt19937 random_;
    clock_type::duration length_;
    supervisor daemons_;
    board_actions actions_;
    cpld_updates updates_;
    std::vector<recurring> schedule_;
    clock_type::time_point peers_back_{};
    run_record record_;
};

} // namespace

int main(int argc, char** argv)
{
    auto opts = parse(argc, argv);
    if (!opts)
    {
        usage_message();
        return 2;
    }
    const sigset_t stop_signals = simboard::block_stop_signals();
    try
    {
        simboard::board sim(simboard::board::load(opts->board),
                            opts->board.parent_path());
        std::cout << "soak of " << opts->minutes << " min on "
                  << opts->board.string() << ", seed " << opts->seed
                  << "\n  bus: busctl --address=" << sim.bus_address()
                  << " tree" << std::endl;
        soak_run run(sim, *opts);
        return run.run(stop_signals) ? 0 : 1;
    }
    catch (const std::exception& e)
    {
        std::cerr << "simboard-soak: " << e.what() << "\n";
        return 2;
    }
}
