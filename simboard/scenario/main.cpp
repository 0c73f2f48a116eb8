// Runs the three daemons on the sample simulated board through a scripted
// scenario and prints its timeline. Exits 0 when every step was seen, 1
// naming the first step that was not.
#include "simboard/fixture/stop_signals.hpp"
#include "simboard/scenario/sample_tracks.hpp"

#include <signal.h>

#include <iostream>

namespace
{

using namespace simboard::scenario;

void usage()
{
    std::cerr << "usage: simboard-scenario [--board FILE] [--keep]\n"
                 "Runs the daemons on the board (default: the sample board) "
                 "through the scenario;\n--keep leaves the board running "
                 "afterwards until Ctrl-C.\n";
}

const std::vector<daemon_binary> binaries{
    {"fwkeeper", FWKEEPER_BIN},
    {"drivetherm", DRIVETHERM_BIN},
    {"baysentry", BAYSENTRY_BIN},
};

/** Lets a round's time pass; true when a stop signal came. */
bool interrupted(const sigset_t& signals)
{
    timespec round{0, 100'000'000};
    return sigtimedwait(&signals, nullptr, &round) > 0;
}

/** Lets the board's traffic in between two rounds. */
std::optional<std::string> take_in(session& s, const sigset_t& signals)
{
    if (interrupted(signals))
    {
        return "interrupted";
    }
    s.bus().get_io_context().poll();
    s.echo_output();
    return s.ended_daemon();
}

void keep_running(simboard::board& sim, session& s, const sigset_t& signals)
{
    std::cout << "the board stays up; reach it with\n"
              << sim.access_lines() << "Ctrl-C stops the board." << std::endl;
    while (!interrupted(signals))
    {
        s.echo_output();
    }
    std::cout << "board stopped" << std::endl;
}

} // namespace

int main(int argc, char** argv)
{
    std::filesystem::path board_file = SIMBOARD_SAMPLE_BOARD;
    bool keep = false;
    for (int i = 1; i < argc; ++i)
    {
        std::string arg = argv[i];
        if (arg == "--board" && i + 1 < argc)
        {
            board_file = argv[++i];
        }
        else if (arg == "--keep")
        {
            keep = true;
        }
        else
        {
            usage();
            return 2;
        }
    }

    const sigset_t signals = simboard::block_stop_signals();
    try
    {
        simboard::board sim(simboard::board::load(board_file),
                            board_file.parent_path());
        timeline log;
        session s(sim, log, binaries);
        log.say("board " + board_file.filename().string() +
                " up with fwkeeper, drivetherm and baysentry");
        auto missed = run({sensor_track(s), bay_track(s), cpld_track(s)}, log,
                          [&s, &signals] { return take_in(s, signals); });
        s.echo_output();
        if (missed)
        {
            std::cout << describe(*missed) << std::endl;
            return 1;
        }
        log.say("scenario passed: every step seen");
        if (keep)
        {
            keep_running(sim, s, signals);
        }
    }
    catch (const std::exception& e)
    {
        std::cerr << "simboard-scenario: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
