// fwkeeper-bench: what one CPLD update costs on the simulated board, and
// what reading a large JEDEC image costs. Prints figures; checks nothing.
#include "fwkeeper/cpld/jed_image.hpp"
#include "fwkeeper/manager/test/cpld_board.hpp"
#include "simboard/fixture/process_figures.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace
{

using namespace fwkeeper_test;
using clock_type = std::chrono::steady_clock;
namespace jedec = simboard::jedec;

// Update phases in the order they reach the device, each opened by the
// command that starts it; polls and reads belong to the phase they run in.
std::string next_phase(const std::string& phase, std::uint8_t command)
{
    switch (command)
    {
        case 0xE0:
            return "device id check";
        case 0x74:
            return "enable configuration";
        case 0xB4:
            return phase == "enable configuration" ? "same image check"
                   : phase == "program"            ? "verify"
                                                   : phase;
        case 0x0E:
            return "erase";
        case 0x70:
            return "program";
        case 0x5E:
            return "done flag";
        case 0xC2:
            return "usercode";
        case 0xC0:
            return phase == "usercode" ? "usercode check" : phase;
        case 0x26:
            return "leave configuration";
        case 0x79:
            return "refresh";
        default:
            return phase;
    }
}

std::vector<std::pair<std::string, std::size_t>> transactions_per_phase(
    const std::vector<simboard::i2c_log_entry>& log)
{
    std::vector<std::pair<std::string, std::size_t>> phases;
    std::string phase = "before the update";
    for (const auto& entry : log)
    {
        phase = next_phase(phase, entry.written.empty() ? 0 : entry.written[0]);
        if (phases.empty() || phases.back().first != phase)
        {
            phases.emplace_back(phase, 0);
        }
        ++phases.back().second;
    }
    return phases;
}

// Resident memory of a process from /proc, in KiB: now and the peak since
// start or since the peak was last reset.
struct resident_memory
{
    long now_kib = 0;
    long peak_kib = 0;
};

resident_memory resident_of(pid_t pid)
{
    return {simboard::status_field(pid, "VmRSS"),
            simboard::status_field(pid, "VmHWM")};
}

// The peak starts again from the present resident size.
void reset_peak(pid_t pid)
{
    std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5\n";
}

double seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// The benchmark's image: a Diamond-layout LCMXO3LF-6900C design with EBR
// initialisation rows.
constexpr const char* bench_part = "LCMXO3LF-6900C";
constexpr std::size_t bench_ebr_rows = 294;

std::string bench_image()
{
    return jedec::jed_text(jedec::random_image(
        *jedec::find_part_size(bench_part), "5ec0de01", 1, bench_ebr_rows));
}

// Bits on the wire of one combined transaction: start, the address byte,
// the written bytes, a repeated start and address byte with the read
// bytes, stop; every byte with its acknowledge bit.
std::size_t wire_bits(const simboard::i2c_log_entry& entry)
{
    std::size_t bits = 2 + 9 * (1 + entry.written.size());
    if (!entry.read.empty())
    {
        bits += 1 + 9 * (1 + entry.read.size());
    }
    return bits;
}

// Transactions the procedure needs for the image's configuration data on
// a device whose flash differs from page 0 on: step 3 reads page 0 (set
// address, read), step 5 writes each programmed page with one busy check
// and a status read, step 6 reads every compared page and the one at the
// page limit.
std::size_t required_transactions(const std::string& text)
{
    cpld::jed_image image;
    std::string why;
    cpld::parse_jed_text(image, text, why);
    const auto plan =
        cpld::plan_pages(image, cpld::find_machxo_part(bench_part)->page_limit);
    return 2 + 3 * plan.program_pages + 2 * (plan.compare_pages + 1);
}

int bench_update()
{
    cpld_device device = main_board_cpld();
    device.part = bench_part;
    board_setup setup;
    setup.cplds = {device};
    cpld_board b(setup);
    if (!b.start())
    {
        std::fprintf(stderr, "fwkeeper did not start:\n%s\n",
                     b.transcript().c_str());
        return 1;
    }
    const std::string text = bench_image();
    b.upload_text(device, text);
    b.sim.i2c().clear_log();
    reset_peak(b.daemon->pid());
    const resident_memory before = resident_of(b.daemon->pid());
    const double cpu_before = simboard::cpu_seconds(b.daemon->pid());
    const auto start = clock_type::now();
    const std::string status = b.update_to_end(mb_object);
    const double wall = seconds_since(start);
    const double cpu = simboard::cpu_seconds(b.daemon->pid()) - cpu_before;
    const resident_memory after = resident_of(b.daemon->pid());

    const auto log = b.sim.i2c().log({device.bus, device.address, {}});
    std::printf("Update of a Diamond-layout %s image with %zu EBR init "
                "rows: \"%s\"\n",
                bench_part, bench_ebr_rows, status.c_str());
    std::printf("  I2C transactions per phase:\n");
    for (const auto& [phase, count] : transactions_per_phase(log))
    {
        std::printf("    %-22s %6zu\n", phase.c_str(), count);
    }
    std::printf("    %-22s %6zu\n", "total", log.size());
    const std::size_t required = required_transactions(text);
    std::printf("    %-22s %6zu (same image check, program, verify)\n",
                "required by the data", required);
    std::size_t bits = 0;
    for (const auto& entry : log)
    {
        bits += wire_bits(entry);
    }
    std::printf("  wire time      %7.3f s at 400 kHz (%zu bits)\n",
                static_cast<double>(bits) / 400e3, bits);
    std::printf("  wall time      %7.3f s (3 s of it the reload delay)\n",
                wall);
    std::printf("  daemon CPU     %7.3f s (%.1f us per transaction)\n", cpu,
                log.empty() ? 0.0
                            : cpu * 1e6 / static_cast<double>(log.size()));
    const double image_kib = static_cast<double>(text.size()) / 1024.0;
    const long growth = after.peak_kib - before.now_kib;
    std::printf("  image          %7.0f KiB\n", image_kib);
    std::printf("  daemon RSS     %7ld KiB before, peak %ld KiB during the "
                "update: +%ld KiB, %.2f x the image\n",
                before.now_kib, after.peak_kib, growth,
                static_cast<double>(growth) / image_kib);
    return status == "Update Complete" ? 0 : 1;
}

// Best of a few runs, in seconds.
template <typename Work>
double best_time(Work work)
{
    double best = 1e9;
    for (int run = 0; run < 15; ++run)
    {
        const auto start = clock_type::now();
        work();
        best = std::min(best, seconds_since(start));
    }
    return best;
}

// The plain cost of getting the file into memory: one buffer of its size,
// filled by read().
std::string read_file(const std::filesystem::path& path)
{
    std::string text(std::filesystem::file_size(path), '\0');
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::size_t done = 0;
    while (fd >= 0 && done < text.size())
    {
        ssize_t got = read(fd, text.data() + done, text.size() - done);
        if (got <= 0)
        {
            break;
        }
        done += static_cast<std::size_t>(got);
    }
    if (fd >= 0)
    {
        close(fd);
    }
    text.resize(done);
    return text;
}

int bench_parse()
{
    const std::string text = bench_image();
    const auto path =
        std::filesystem::temp_directory_path() / "fwkeeper-bench-6900c.jed";
    jedec::write_file(path, text);

    int parsed = -1;
    const double read = best_time([&] { read_file(path); });
    const double parse = best_time([&] {
        cpld::jed_image image;
        parsed = cpld::parse_jed(image, path);
    });
    std::filesystem::remove(path);

    const auto* size = jedec::find_part_size(bench_part);
    std::printf("Reading that image (%zu bytes, %zu rows):\n", text.size(),
                size->config_pages + size->user_pages);
    std::printf("  read the file          %8.3f ms\n", read * 1e3);
    std::printf("  parse and checksum     %8.3f ms (result %d)\n", parse * 1e3,
                parsed);
    std::printf("  ratio                  %8.2f (goal: at most 1.5)\n",
                parse / read);
    return parsed == 0 ? 0 : 1;
}

} // namespace

int main()
{
    const int update = bench_update();
    std::printf("\n");
    const int parse = bench_parse();
    return update != 0 || parse != 0 ? 1 : 0;
}
