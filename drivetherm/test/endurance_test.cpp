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

using namespace drivetherm::test;

constexpr unsigned sensorCount = 32;
constexpr auto rescanSpacing = 1200ms;

std::map<std::string, std::string> smallQuarantine()
{
    const char* inherited = std::getenv("ASAN_OPTIONS");
    return {{"ASAN_OPTIONS",
             std::string(inherited != nullptr ? inherited : "") +
                 ":verify_asan_link_order=0:quarantine_size_mb=4"}};
}

struct ManyDrives
{
    std::vector<Drive> drives;
    json objects = json::object();
    std::vector<std::string> sensors;

    ManyDrives()
    {
        for (unsigned i = 0; i < sensorCount; ++i)
        {
            const Drive d{7 + i / 8, 0x60 + i % 8, 1, 20 + i};
            drives.push_back(d);
            const std::string name = "Drive " + std::to_string(i);
            objects[configPath("M2_" + std::to_string(i))] = {
                {m2Interface, m2Record(name, d.bus, d.address)},
                {std::string(m2Interface) + ".Thresholds0",
                 thresholdRecord(0, "greater than", 70)}};
            sensors.push_back("Drive_" + std::to_string(i));
        }
    }
};

void rescan(DriveBoard& b, unsigned times)
{
    for (unsigned i = 0; i < times; ++i)
    {
        b.emitChanged(configPath("M2_0"), m2Interface);
        b.pump(rescanSpacing);
        b.clearSignals();
    }
}

TEST(Endurance, ReadingsAndRescansLeaveNoDescriptorsOrMemoryBehind)
{
    ManyDrives board;
    DriveBoard b(json{{"i2c", i2cFor(board.drives)},
                      {"peers", peersFor(board.objects)}},
                 smallQuarantine());
    ASSERT_TRUE(b.start()) << b.transcript();
    ASSERT_TRUE(b.waitForSensors(board.sensors, 30s)) << b.transcript();

    rescan(b, 15);
    const long fds = b.openFds();
    const long rss = b.residentKb();
    const std::size_t passes = b.passes();
    b.sim.i2c().clear_log();

    constexpr unsigned rescans = 120;
    rescan(b, rescans);
    // A reading a second per drive, and a probe per drive and pass.
    const std::size_t transfers = b.sim.i2c().log().size();
    std::printf("%zu transfers, %zu passes; %ld descriptors; resident %ld kB "
                "then %ld kB\n",
                transfers, b.passes() - passes, b.openFds(), rss,
                b.residentKb());
    EXPECT_GE(transfers, 200U * sensorCount);
    EXPECT_GE(b.passes() - passes, rescans - 5);
    EXPECT_EQ(b.openFds(), fds);
    EXPECT_LT(b.residentKb() - rss, 2048) << "from " << rss << " kB";

    // Replaced sensors poll no more: one reading a second per drive.
    b.sim.i2c().clear_log();
    b.pump(3s);
    EXPECT_LE(b.sim.i2c().log().size(), 4U * sensorCount);
    EXPECT_TRUE(b.waitForValue("Drive_31", 51));
    EXPECT_TRUE(b.daemon->running());
}

} // namespace
