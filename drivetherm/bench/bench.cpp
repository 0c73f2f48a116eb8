// drivetherm-bench: what one reading costs the daemon on the simulated
// board with 1, 16 and 64 drives, beside the bare device access a reading
// needs; the D-Bus signals per unchanged and per changed reading; and the
// resident memory with 64 drives. Prints figures; checks nothing.
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
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace
{

using namespace drivetherm_test;

constexpr auto measure_time = 30s;

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

// One reading's device access in a plain loop, through the emulator linked
// into this program: CPU seconds per access. With a pause, the loop sleeps
// between accesses as the daemon does between readings, and pays the same
// cost of waking up.
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
        const int fd =
            open(("/dev/i2c-" + std::to_string(d.bus)).c_str(), O_RDWR);
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
    const double cpu = process_cpu_seconds() - start;
    unsetenv("SIMBOARD_I2C_STATE");
    return cpu / rounds;
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

} // namespace

int main()
{
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
    return 0;
}
