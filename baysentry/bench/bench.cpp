// baysentry-bench: what the presence polling costs. Three backplanes of 12
// bays with no change, polled for a minute (or the seconds given as the
// first argument) by the real daemon on the simulated board. Prints
// figures; checks nothing.
#include "baysentry/test/bay_board.hpp"
#include "platform/tarn_util.hpp"
#include "simboard/fixture/process_figures.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace
{

using namespace baysentry_test;

// Registers read per tick at the least: 16 and 17 for each 12-bay
// backplane.
constexpr unsigned minimumReads = 3 * 2;

// Voluntary and involuntary context switches of a process: each time it
// slept and woke up, or was preempted.
unsigned long contextSwitches(pid_t pid)
{
    return static_cast<unsigned long>(
        simboard::status_field(pid, "voluntary_ctxt_switches") +
        simboard::status_field(pid, "nonvoluntary_ctxt_switches"));
}

// CPU cost of one tick's register reads through the emulated bus,
// measured in this process: the reads of a tick, a pause between ticks
// (so that caches are as cold as the daemon's), repeated.
double secondsPerTickOfReads(const std::string& statePath)
{
    setenv("SIMBOARD_I2C_STATE", statePath.c_str(), 1);
    constexpr int rounds = 20;
    double total = 0;
    unsigned char value = 0;
    for (int round = 0; round < rounds; ++round)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const double before = simboard::own_cpu_seconds();
        for (unsigned reg = 0; reg < minimumReads; ++reg)
        {
            i2cGet(20, 0x33, 16, &value);
        }
        total += simboard::own_cpu_seconds() - before;
    }
    return total / rounds;
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    std::map<unsigned, std::string> links;
    linkBays(links, 30, 12, 20);
    linkBays(links, 42, 12, 21);
    linkBays(links, 54, 12, 22);
    BayBoard board(boardWith(
        {{20, 0x33, 0x1302}, {21, 0x37, 0x1302}, {22, 0x3B, 0x1302}}, links));
    if (!board.start())
    {
        std::fprintf(stderr, "baysentry did not start:\n%s\n",
                     board.transcript().c_str());
        return 1;
    }
    board.setOsState("Standby");
    if (!board.waitForReads(20, 16, 2))
    {
        std::fprintf(stderr, "no polling:\n%s\n", board.transcript().c_str());
        return 1;
    }

    const pid_t pid = board.daemon->pid();
    const std::size_t ticksBefore = board.reads(20, 16);
    const auto transactionsBefore = board.sim.i2c().transaction_count();
    const double cpuBefore = simboard::cpu_seconds(pid);
    const unsigned long switchesBefore = contextSwitches(pid);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = simboard::cpu_seconds(pid) - cpuBefore;
    const unsigned long switches = contextSwitches(pid) - switchesBefore;
    const auto ticks = static_cast<double>(board.reads(20, 16) - ticksBefore);
    const auto transactions = static_cast<double>(
        board.sim.i2c().transaction_count() - transactionsBefore);
    const double readsPerTick =
        secondsPerTickOfReads(board.sim.i2c().state_path());

    std::printf("baysentry polling 3 backplanes of 12 bays, no change, %d s\n",
                seconds);
    std::printf("  ticks                 %6.0f\n", ticks);
    std::printf("  I2C transactions/tick %6.2f (minimum %u)\n",
                transactions / ticks, minimumReads);
    std::printf("  daemon CPU            %6.4f s, %6.1f us per tick\n", cpu,
                cpu * 1e6 / ticks);
    std::printf("  %u emulated reads      %6.1f us CPU, measured apart\n",
                minimumReads, readsPerTick * 1e6);
    std::printf("  wake-ups              %6lu, %.2f per tick\n", switches,
                static_cast<double>(switches) / ticks);
    return 0;
}
