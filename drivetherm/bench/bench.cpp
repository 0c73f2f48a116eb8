// drivetherm-bench: what one reading costs the daemon on the simulated
// board with 1, 16 and 64 drives, beside the bare device access a reading
// needs; the D-Bus signals per unchanged and per changed reading; and the
// resident memory with 64 drives; and, counted by callgrind so that the
// machine's load does not show, the instructions of one reading beside
// those of the bare access. Prints figures; checks nothing.
#include "drivetherm/test/drive_board.hpp"

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
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace
{

using namespace drivetherm_test;

constexpr auto measure_time = 30s;
constexpr auto callgrind_time = 20s;
constexpr unsigned callgrind_drives = 64;
constexpr unsigned callgrind_bare_rounds = 2048;

double process_cpu_seconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) +
           static_cast<double>(t.tv_nsec) * 1e-9;
}

// CPU time the daemon has run, in seconds, to the nanosecond: the first
// field of its schedstat (clock ticks would hide a reading's cost).
double daemon_cpu_seconds(const drive_board& b)
{
    std::ifstream stat(
        "/proc/" + std::to_string(b.daemon->pid()) + "/schedstat");
    double ns = 0;
    stat >> ns;
    return ns * 1e-9;
}

struct drives_board
{
    std::vector<drive> drives;
    json objects = json::object();
    std::vector<std::string> sensors;

    explicit drives_board(unsigned count)
    {
        for (unsigned i = 0; i < count; ++i)
        {
            const drive d{7 + i / 8, 0x60 + i % 8, 1, 30};
            drives.push_back(d);
            objects[config_path("M2_" + std::to_string(i))] = {
                {m2_interface,
                 m2_record("Drive " + std::to_string(i), d.bus, d.address)},
                {std::string(m2_interface) + ".Thresholds0",
                 threshold_record(0, "greater than", 70)},
                {std::string(m2_interface) + ".Thresholds1",
                 threshold_record(1, "greater than", 80)}};
            sensors.push_back("Drive_" + std::to_string(i));
        }
    }

    json description() const
    {
        return {{"i2c", i2c_for(drives)}, {"peers", peers_for(objects)}};
    }
};

// One reading's device access: open, select, ask the functions, read the
// byte, close. Not inlined, so that callgrind can count it alone.
[[gnu::noinline]] void access_once(const drive& d)
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
double bare_access(drive_board& b, const drive& d, int rounds,
                   std::chrono::microseconds pause = {})
{
    setenv("SIMBOARD_I2C_STATE", b.sim.i2c().state_path().c_str(), 1);
    const double start = process_cpu_seconds();
    for (int i = 0; i < rounds; ++i)
    {
        if (pause.count() > 0)
        {
            std::this_thread::sleep_for(pause);
        }
        access_once(d);
    }
    const double cpu = process_cpu_seconds() - start;
    unsetenv("SIMBOARD_I2C_STATE");
    return cpu / rounds;
}

// What callgrind counted: every instruction, and the calls of one function
// with the instructions spent in them (theirs and below).
struct call_count
{
    double total = 0;
    double calls = 0;
    double inclusive = 0;
};

// Reads a callgrind profile for the calls of `function`: the arcs into it
// ("cfn=" naming it, "calls=" and the line of their cost).
call_count count_calls(const std::filesystem::path& profile,
                       const std::string& function)
{
    std::ifstream in(profile);
    std::map<std::string, std::string> names; // "(id)" -> name
    call_count count;
    bool into = false;
    bool cost_follows = false;
    for (std::string line; std::getline(in, line);)
    {
        if (cost_follows)
        {
            count.inclusive += std::stod(line.substr(line.rfind(' ') + 1));
            cost_follows = false;
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
            cost_follows = true;
        }
    }
    return count;
}

// Starts `argv` on the board under callgrind, which writes its profile to
// the board's /tmp and takes commands (callgrind_control) there.
std::unique_ptr<simboard::daemon_process> start_callgrind(
    drive_board& b, std::vector<std::string> argv)
{
    argv.insert(argv.begin(), {"/usr/bin/valgrind", "--tool=callgrind",
                               "--quiet", "--vgdb-prefix=/tmp/vgdb",
                               "--callgrind-out-file=/tmp/callgrind.out"});
    std::filesystem::remove(b.sim.path("/tmp/callgrind.out"));
    return b.sim.start_command(argv);
}

// Zeroes the counts of a program started by start_callgrind.
void zero_callgrind(drive_board& b, const simboard::daemon_process& process)
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
call_count finish_callgrind(drive_board& b, simboard::daemon_process& process,
                            const std::string& function)
{
    kill(process.pid(), SIGTERM);
    process.wait_exit(60s);
    return count_calls(b.sim.path("/tmp/callgrind.out"), function);
}

struct run_figures
{
    double cpu_per_reading = 0;
    double readings_per_second = 0;
    std::size_t signals = 0;
    long resident_kb = 0;
};

run_figures steady_readings(drive_board& b)
{
    b.clear_signals();
    b.sim.i2c().clear_log();
    const double cpu = daemon_cpu_seconds(b);
    b.pump(measure_time);
    run_figures f;
    const auto readings = static_cast<double>(b.sim.i2c().log().size());
    f.cpu_per_reading = (daemon_cpu_seconds(b) - cpu) / readings;
    f.readings_per_second =
        readings / std::chrono::duration<double>(measure_time).count();
    f.signals = b.signals().size();
    f.resident_kb = b.resident_kb();
    return f;
}

// Signals per changed reading, and those of a reading that changes an
// alarm, on one drive.
void changed_readings(drive_board& b, const drive& d)
{
    const std::string sensor = "Drive_0";
    constexpr int changes = 10;
    b.clear_signals();
    for (int i = 1; i <= changes; ++i)
    {
        const unsigned value = 30 + static_cast<unsigned>(i % 2 + 1);
        b.set_register(d, value);
        b.wait_for_value(sensor, value, 5s);
    }
    b.pump(1500ms);
    std::printf("  changed reading: %.2f signals each (%zu for %d changes)\n",
                static_cast<double>(b.signals().size()) / changes,
                b.signals().size(), changes);

    b.set_register(d, 71);
    b.wait_for_value(sensor, 71, 5s);
    b.clear_signals();
    b.wait(
        [&] {
            return b.property<bool>(sensor, warning_interface,
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
void bare_rounds(unsigned rounds)
{
    const drives_board layout(callgrind_drives);
    for (unsigned i = 0; i < rounds; ++i)
    {
        access_once(layout.drives[i % layout.drives.size()]);
    }
}

// Instructions of the daemon per reading with 64 drives, in all and in
// its poll handler (and all below it, the emulator included), counted by
// callgrind once every drive has been read, beside those of one bare
// access to the same drives (this program again, run with --bare).
bool counted_instructions()
{
    if (!std::filesystem::exists("/usr/bin/valgrind"))
    {
        std::printf("instructions: valgrind is not installed\n");
        return true;
    }
    drives_board layout(callgrind_drives);
    drive_board b(layout.description());
    auto daemon = start_callgrind(b, {DRIVETHERM_BIN});
    if (!b.wait_for_sensors(layout.sensors, 120s) ||
        !b.wait_for_value(layout.sensors.back(), 30, 30s))
    {
        std::fprintf(stderr, "drivetherm did not start under callgrind:\n%s\n",
                     daemon->transcript().c_str());
        return false;
    }
    b.pump(2s);
    zero_callgrind(b, *daemon);
    b.pump(callgrind_time);
    const call_count poll =
        finish_callgrind(b, *daemon, "Drivetherm::onPollTimer(");

    auto bare = start_callgrind(
        b, {std::filesystem::canonical("/proc/self/exe").string(), "--bare",
            std::to_string(callgrind_bare_rounds)});
    b.wait([&] { return !bare->running(); }, 120s);
    const call_count access = finish_callgrind(b, *bare, "access_once(");
    const double all = poll.total / poll.calls;
    const double handler = poll.inclusive / poll.calls;
    const double per_access = access.inclusive / access.calls;
    std::printf("instructions (callgrind), %u drives, %.0f readings: %.0f per "
                "reading in all (%.2fx bare), %.0f in the poll handler "
                "(%.2fx); bare access %.0f\n",
                callgrind_drives, poll.calls, all, all / per_access, handler,
                handler / per_access, per_access);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--bare")
    {
        bare_rounds(static_cast<unsigned>(std::stoul(argv[2])));
        return 0;
    }
    std::printf("drivetherm readings on the simulated board, %lld s each\n",
                static_cast<long long>(measure_time.count()));
    double bare = 0;
    for (unsigned count : {1U, 16U, 64U})
    {
        drives_board layout(count);
        drive_board b(layout.description());
        if (!b.start() || !b.wait_for_sensors(layout.sensors, 60s) ||
            !b.wait_for_value(layout.sensors.back(), 30, 10s))
        {
            std::fprintf(stderr, "drivetherm did not start:\n%s\n",
                         b.transcript().c_str());
            return 1;
        }
        if (bare == 0)
        {
            bare = bare_access(b, layout.drives.front(), 20000);
            std::printf("bare device access (open, 2 ioctls, SMBus read, "
                        "close): %.1f us CPU\n",
                        bare * 1e6);
        }
        const run_figures f = steady_readings(b);
        const double paced = bare_access(
            b, layout.drives.front(), static_cast<int>(std::max(count, 10U)),
            std::chrono::microseconds(1000000 / count));
        std::printf("%2u drives: %.1f us CPU per reading (%.2fx bare; the "
                    "bare access paced at %u/s: %.1f us, %.2fx), %.1f "
                    "readings/s, %zu signals while unchanged, resident %ld "
                    "kB\n",
                    count, f.cpu_per_reading * 1e6, f.cpu_per_reading / bare,
                    count, paced * 1e6, f.cpu_per_reading / paced,
                    f.readings_per_second, f.signals, f.resident_kb);
        if (count == 1)
        {
            changed_readings(b, layout.drives.front());
        }
    }
    return counted_instructions() ? 0 : 1;
}
