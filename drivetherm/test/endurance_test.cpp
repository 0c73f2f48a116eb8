// A long run on the simulated board: thousands of readings and over a
// hundred rescans, each replacing every sensor, leave the daemon's
// descriptors and memory where they were. Meant for the sanitizer build
// too: a small quarantine lets freed memory be reused, so that growth shows
// a leak rather than the quarantine filling.
#include "drivetherm/test/drive_board.hpp"

#include <cstdlib>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace drivetherm_test;

constexpr unsigned sensor_count = 32;
constexpr auto rescan_spacing = 1200ms;

std::map<std::string, std::string> small_quarantine()
{
    const char* inherited = std::getenv("ASAN_OPTIONS");
    return {{"ASAN_OPTIONS",
             std::string(inherited != nullptr ? inherited : "") +
                 ":verify_asan_link_order=0:quarantine_size_mb=4"}};
}

struct many_drives
{
    std::vector<drive> drives;
    json objects = json::object();
    std::vector<std::string> sensors;

    many_drives()
    {
        for (unsigned i = 0; i < sensor_count; ++i)
        {
            const drive d{7 + i / 8, 0x60 + i % 8, 1, 20 + i};
            drives.push_back(d);
            const std::string name = "Drive " + std::to_string(i);
            objects[config_path("M2_" + std::to_string(i))] = {
                {m2_interface, m2_record(name, d.bus, d.address)},
                {std::string(m2_interface) + ".Thresholds0",
                 threshold_record(0, "greater than", 70)}};
            sensors.push_back("Drive_" + std::to_string(i));
        }
    }
};

void rescan(drive_board& b, unsigned times)
{
    for (unsigned i = 0; i < times; ++i)
    {
        b.emit_changed(config_path("M2_0"), m2_interface);
        b.pump(rescan_spacing);
        b.clear_signals();
    }
}

TEST(Endurance, ReadingsAndRescansLeaveNoDescriptorsOrMemoryBehind)
{
    many_drives board;
    drive_board b(json{{"i2c", i2c_for(board.drives)},
                       {"peers", peers_for(board.objects)}},
                  small_quarantine());
    ASSERT_TRUE(b.start()) << b.transcript();
    ASSERT_TRUE(b.wait_for_sensors(board.sensors, 30s)) << b.transcript();

    rescan(b, 15);
    const std::size_t fds = b.open_fds();
    const long rss = b.resident_kb();
    const std::size_t passes = b.passes();
    b.sim.i2c().clear_log();

    constexpr unsigned rescans = 120;
    rescan(b, rescans);
    // A reading a second per drive, and a probe per drive and pass.
    const std::size_t transfers = b.sim.i2c().log().size();
    std::printf("%zu transfers, %zu passes; %zu descriptors; resident %ld kB "
                "then %ld kB\n",
                transfers, b.passes() - passes, b.open_fds(), rss,
                b.resident_kb());
    EXPECT_GE(transfers, 200U * sensor_count);
    EXPECT_GE(b.passes() - passes, rescans - 5);
    EXPECT_EQ(b.open_fds(), fds);
    EXPECT_LT(b.resident_kb() - rss, 2048) << "from " << rss << " kB";

    // Replaced sensors poll no more: one reading a second per drive.
    b.sim.i2c().clear_log();
    b.pump(3s);
    EXPECT_LE(b.sim.i2c().log().size(), 4U * sensor_count);
    EXPECT_TRUE(b.wait_for_value("Drive_31", 51));
    EXPECT_TRUE(b.daemon->running());
}

} // namespace
