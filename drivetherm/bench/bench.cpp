// drivetherm-bench: what one reading costs the daemon on the simulated
// board with 1, 16 and 64 drives, beside the bare device access a reading
// needs; the D-Bus signals per unchanged and per changed reading; and the
// resident memory with 64 drives; and, counted by callgrind so that the
// machine's load does not show, the instructions of one reading beside
// those of the bare access. Prints figures; checks nothing.
#include "drivetherm/test/drive_board.hpp"
#include "simboard/fixture/process_figures.hpp"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <sys/ioctl.h>
#include <unistd.h>

extern "C"
{
#include <i2c/smbus.h>
}

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace
{

using namespace drivetherm::test;

constexpr auto measureTime = 30s;
constexpr auto callgrindTime = 20s;
constexpr unsigned callgrindDrives = 64;
constexpr unsigned callgrindBareRounds = 2048;

struct DrivesBoard
{
    std::vector<Drive> drives;
    json objects = json::object();
    std::vector<std::string> sensors;

    explicit DrivesBoard(unsigned count)
    {
        for (unsigned i = 0; i < count; ++i)
        {
            const Drive d{7 + i / 8, 0x60 + i % 8, 1, 30};
            drives.push_back(d);
            objects[configPath("M2_" + std::to_string(i))] = {
                {m2Interface,
                 m2Record("Drive " + std::to_string(i), d.bus, d.address)},
                {std::string(m2Interface) + ".Thresholds0",
                 thresholdRecord(0, "greater than", 70)},
                {std::string(m2Interface) + ".Thresholds1",
                 thresholdRecord(1, "greater than", 80)}};
            sensors.push_back("Drive_" + std::to_string(i));
        }
    }

    json description() const
    {
        return {{"i2c", i2cFor(drives)}, {"peers", peersFor(objects)}};
    }
};

// One reading's device access: open, select, ask the functions, read the
// byte, close. Not inlined, so that callgrind can count it alone.
[[gnu::noinline]] void accessOnce(const Drive& d)
{
    const int fd = open(("/dev/i2c-" + std::to_string(d.bus)).c_str(), O_RDWR);
    unsigned long funcs = 0;
    if (fd < 0 || ioctl(fd, I2C_SLAVE_FORCE, d.address) < 0 ||
        ioctl(fd, I2C_FUNCS, &funcs) < 0 ||
        i2c_smbus_read_byte_data(fd, static_cast<uint8_t>(d.reg)) < 0)
    {
        std::fprintf(stderr, "bare access failed\n");
    }
    if (fd >= 0)
    {
        close(fd);
    }
}

// The device access in a plain loop, through the emulator linked into this
// program: CPU seconds per access. With a pause, the loop sleeps between
// accesses as the daemon does between readings, and pays the same cost of
// waking up.
double bareAccess(DriveBoard& b, const Drive& d, int rounds,
                  std::chrono::microseconds pause = {})
{
    setenv("SIMBOARD_I2C_STATE", b.sim.i2c().state_path().c_str(), 1);
    const double start = simboard::own_cpu_seconds();
    for (int i = 0; i < rounds; ++i)
    {
        if (pause.count() > 0)
        {
            std::this_thread::sleep_for(pause);
        }
        accessOnce(d);
    }
    const double cpu = simboard::own_cpu_seconds() - start;
    unsetenv("SIMBOARD_I2C_STATE");
    return cpu / rounds;
}

// What callgrind counted: every instruction, and the calls of one function
// with the instructions spent in them (theirs and below).
struct CallCount
{
    double total = 0;
    double calls = 0;
    double inclusive = 0;
};

// Reads a callgrind profile for the calls of `function`: the arcs into it
// ("cfn=" naming it, "calls=" and the line of their cost).
CallCount countCalls(const std::filesystem::path& profile,
                     const std::string& function)
{
    std::ifstream in(profile);
    std::map<std::string, std::string> names; // "(id)" -> name
    CallCount count;
    bool into = false;
    bool costFollows = false;
    for (std::string line; std::getline(in, line);)
    {
        if (costFollows)
        {
            count.inclusive += std::stod(line.substr(line.rfind(' ') + 1));
            costFollows = false;
        }
        else if (line.starts_with("totals: "))
        {
            count.total = std::stod(line.substr(8));
        }
        else if (line.starts_with("fn=") || line.starts_with("cfn="))
        {
            std::string id = line.substr(line.find('=') + 1);
            const auto space = id.find(' ');
            if (space != std::string::npos)
            {
                names[id.substr(0, space)] = id.substr(space + 1);
                id.resize(space);
            }
            const auto known = names.find(id);
            into = line.starts_with("cfn=") &&
                   (known != names.end() ? known->second : id).find(function) !=
                       std::string::npos;
        }
        else if (into && line.starts_with("calls="))
        {
            count.calls += std::stod(line.substr(6));
            costFollows = true;
        }
    }
    return count;
}

// Starts `argv` on the board under callgrind, which writes its profile to
// the board's /tmp and takes commands (callgrind_control) there.
std::unique_ptr<simboard::daemon_process> startCallgrind(
    DriveBoard& b, std::vector<std::string> argv)
{
    argv.insert(argv.begin(), {"/usr/bin/valgrind", "--tool=callgrind",
                               "--quiet", "--vgdb-prefix=/tmp/vgdb",
                               "--callgrind-out-file=/tmp/callgrind.out"});
    std::filesystem::remove(b.sim.path("/tmp/callgrind.out"));
    return b.sim.start_command(argv);
}

// Zeroes the counts of a program started by start_callgrind.
void zeroCallgrind(DriveBoard& b, const simboard::daemon_process& process)
{
    const std::string command =
        "callgrind_control --vgdb-prefix=" + b.sim.path("/tmp/vgdb").string() +
        " -z " + std::to_string(process.pid()) + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0)
    {
        std::fprintf(stderr, "callgrind_control failed: the instructions "
                             "include the daemon's start\n");
    }
}

// Ends a program started by start_callgrind: its counts of `function`.
CallCount finishCallgrind(DriveBoard& b, simboard::daemon_process& process,
                          const std::string& function)
{
    kill(process.pid(), SIGTERM);
    process.wait_exit(60s);
    return countCalls(b.sim.path("/tmp/callgrind.out"), function);
}

struct RunFigures
{
    double cpuPerReading = 0;
    double readingsPerSecond = 0;
    std::size_t signals = 0;
    long residentKb = 0;
};

RunFigures steadyReadings(DriveBoard& b)
{
    b.clearSignals();
    b.sim.i2c().clear_log();
    const double cpu = simboard::cpu_seconds(b.daemon->pid());
    b.pump(measureTime);
    RunFigures f;
    const auto readings = static_cast<double>(b.sim.i2c().log().size());
    f.cpuPerReading = (simboard::cpu_seconds(b.daemon->pid()) - cpu) / readings;
    f.readingsPerSecond =
        readings / std::chrono::duration<double>(measureTime).count();
    f.signals = b.signals().size();
    f.residentKb = b.residentKb();
    return f;
}

// Signals per changed reading, and those of a reading that changes an
// alarm, on one drive.
void changedReadings(DriveBoard& b, const Drive& d)
{
    const std::string sensor = "Drive_0";
    constexpr int changes = 10;
    b.clearSignals();
    for (int i = 1; i <= changes; ++i)
    {
        const unsigned value = 30 + static_cast<unsigned>(i % 2 + 1);
        b.setRegister(d, value);
        b.waitForValue(sensor, value, 5s);
    }
    b.pump(1500ms);
    std::printf("  changed reading: %.2f signals each (%zu for %d changes)\n",
                static_cast<double>(b.signals().size()) / changes,
                b.signals().size(), changes);

    b.setRegister(d, 71);
    b.waitForValue(sensor, 71, 5s);
    b.clearSignals();
    b.wait(
        [&] {
            return b.property<bool>(sensor, warningInterface,
                                    "WarningAlarmHigh");
        },
        5s);
    b.pump(1500ms);
    std::printf("  reading that raises the warning alarm:");
    for (const auto& s : b.signals())
    {
        std::printf(" %s", s.member.c_str());
    }
    std::printf(" (%zu)\n", b.signals().size());
}

// Each drive of the layout read in turn, `rounds` accesses in all: what
// `drivetherm-bench --bare` does under callgrind.
void bareRounds(unsigned rounds)
{
    const DrivesBoard layout(callgrindDrives);
    for (unsigned i = 0; i < rounds; ++i)
    {
        accessOnce(layout.drives[i % layout.drives.size()]);
    }
}

// Instructions of the daemon per reading with 64 drives, in all and in
// its poll handler (and all below it, the emulator included), counted by
// callgrind once every drive has been read, beside those of one bare
// access to the same drives (this program again, run with --bare).
bool countedInstructions()
{
    if (!std::filesystem::exists("/usr/bin/valgrind"))
    {
        std::printf("instructions: valgrind is not installed\n");
        return true;
    }
    DrivesBoard layout(callgrindDrives);
    DriveBoard b(layout.description());
    auto daemon = startCallgrind(b, {DRIVETHERM_BIN});
    if (!b.waitForSensors(layout.sensors, 120s) ||
        !b.waitForValue(layout.sensors.back(), 30, 30s))
    {
        std::fprintf(stderr, "drivetherm did not start under callgrind:\n%s\n",
                     daemon->transcript().c_str());
        return false;
    }
    b.pump(2s);
    zeroCallgrind(b, *daemon);
    b.pump(callgrindTime);
    const CallCount poll =
        finishCallgrind(b, *daemon, "Drivetherm::onPollTimer(");

    auto bare = startCallgrind(
        b, {std::filesystem::canonical("/proc/self/exe").string(), "--bare",
            std::to_string(callgrindBareRounds)});
    b.wait([&] { return !bare->running(); }, 120s);
    const CallCount access = finishCallgrind(b, *bare, "accessOnce(");
    const double all = poll.total / poll.calls;
    const double handler = poll.inclusive / poll.calls;
    const double perAccess = access.inclusive / access.calls;
    std::printf("instructions (callgrind), %u drives, %.0f readings: %.0f per "
                "reading in all (%.2fx bare), %.0f in the poll handler "
                "(%.2fx); bare access %.0f\n",
                callgrindDrives, poll.calls, all, all / perAccess, handler,
                handler / perAccess, perAccess);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--bare")
    {
        bareRounds(static_cast<unsigned>(std::stoul(argv[2])));
        return 0;
    }
    std::printf("drivetherm readings on the simulated board, %lld s each\n",
                static_cast<long long>(measureTime.count()));
    double bare = 0;
    for (unsigned count : {1U, 16U, 64U})
    {
        DrivesBoard layout(count);
        DriveBoard b(layout.description());
        if (!b.start() || !b.waitForSensors(layout.sensors, 60s) ||
            !b.waitForValue(layout.sensors.back(), 30, 10s))
        {
            std::fprintf(stderr, "drivetherm did not start:\n%s\n",
                         b.transcript().c_str());
            return 1;
        }
        if (bare == 0)
        {
            bare = bareAccess(b, layout.drives.front(), 20000);
            std::printf("bare device access (open, 2 ioctls, SMBus read, "
                        "close): %.1f us CPU\n",
                        bare * 1e6);
        }
        const RunFigures f = steadyReadings(b);
        const double paced = bareAccess(
            b, layout.drives.front(), static_cast<int>(std::max(count, 10U)),
            std::chrono::microseconds(1000000 / count));
        std::printf("%2u drives: %.1f us CPU per reading (%.2fx bare; the "
                    "bare access paced at %u/s: %.1f us, %.2fx), %.1f "
                    "readings/s, %zu signals while unchanged, resident %ld "
                    "kB\n",
                    count, f.cpuPerReading * 1e6, f.cpuPerReading / bare, count,
                    paced * 1e6, f.cpuPerReading / paced, f.readingsPerSecond,
                    f.signals, f.residentKb);
        if (count == 1)
        {
            changedReadings(b, layout.drives.front());
        }
    }
    return countedInstructions() ? 0 : 1;
}
