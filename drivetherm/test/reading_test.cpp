// Readings of the real daemon on the simulated board: the published
// temperature, the failure lines, NaN on every failure, and a drive gated
// on the host state.
#include "drivetherm/test/drive_board.hpp"
#include "simboard/fixture/time_scale.hpp"

#include <cmath>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace drivetherm::test;

const Drive drive1{7, 0x6a, 1, 0x19};
const Drive drive2{8, 0x6a, 1, 30};

TEST(Readings, BytesFailuresAndOneTransferPerReading)
{
    json i2c = i2cFor({drive1, drive2});
    i2c["buses"].push_back({{"bus", 9}, {"functionality", "0x00000001"}});
    i2c["devices"].push_back({{"bus", 9},
                              {"address", "0x6a"},
                              {"kind", "register"},
                              {"registers", {{"1", 20}}}});
    const json objects = {
        {configPath("M2_1"), {{m2Interface, m2Record("M2 Drive 1", 7)}}},
        {configPath("M2_2"), {{m2Interface, m2Record("M2 Drive 2", 8)}}},
        {configPath("M2_3"), {{m2Interface, m2Record("M2 Drive 3", 9)}}}};
    DriveBoard b({{"i2c", i2c}, {"peers", peersFor(objects)}});
    ASSERT_TRUE(b.start()) << b.transcript();
    ASSERT_TRUE(b.waitForValue("M2_Drive_1", 25)) << b.transcript();
    ASSERT_TRUE(b.waitForValue("M2_Drive_2", 30)) << b.transcript();

    // The adapter without byte-data reads fails the probe: no sensor.
    EXPECT_TRUE(b.saw("operator():277, bus:9, vpdAddr:6a, tmp:1"));
    EXPECT_FALSE(b.hasSensor("M2_Drive_3"));

    b.setRegister(drive1, 0x7f);
    EXPECT_TRUE(b.waitForValue("M2_Drive_1", 127));

    // Bytes with bit 7 set are no reading, every second.
    b.setRegister(drive1, 0x80);
    EXPECT_TRUE(b.waitForValue("M2_Drive_1", NAN));
    b.setRegister(drive1, 0xff);
    // (The probe of the adapter without byte-data printed one already.)
    EXPECT_TRUE(
        b.daemon->wait_for_count("Invalid read getM2RegsInfoByte", 3, 10s))
        << b.transcript();
    EXPECT_GE(b.count(" read byte data failed at 1"), 4U);
    EXPECT_TRUE(std::isnan(b.value("M2_Drive_1")));
    // No reading is not a fault: both decorators stay true.
    EXPECT_TRUE(
        b.property<bool>("M2_Drive_1", availabilityInterface, "Available"));
    EXPECT_TRUE(b.property<bool>(
        "M2_Drive_1", "xyz.openbmc_project.State.Decorator.OperationalStatus",
        "Functional"));
    b.setRegister(drive1, 0x19);
    EXPECT_TRUE(b.waitForValue("M2_Drive_1", 25));

    // A device that does not answer, and a bus whose node is gone.
    b.sim.i2c().set_silent(7, 0x6a, true);
    EXPECT_TRUE(b.waitForValue("M2_Drive_1", NAN));
    b.sim.i2c().set_bus_present(8, false);
    EXPECT_TRUE(b.waitForValue("M2_Drive_2", NAN));
    EXPECT_TRUE(b.daemon->wait_for_count(
        " unable to open i2c device/dev/i2c-8  err=-1", 2, 10s));
    b.sim.i2c().set_silent(7, 0x6a, false);
    b.sim.i2c().set_bus_present(8, true);
    EXPECT_TRUE(b.waitForValue("M2_Drive_1", 25));
    EXPECT_TRUE(b.waitForValue("M2_Drive_2", 30));

    // Each reading is one byte read and leaves no descriptor open.
    const long fds = b.openFds();
    const std::size_t lines = b.count("Invalid read getM2RegsInfoByte");
    b.sim.i2c().clear_log();
    b.pump(4s);
    const auto log = b.sim.i2c().log({7, 0x6a, {}});
    EXPECT_GE(log.size(), 3U);
    EXPECT_LE(log.size(), 5U);
    for (const auto& entry : log)
    {
        EXPECT_EQ(entry.written, std::vector<uint8_t>{1});
        EXPECT_EQ(entry.read, std::vector<uint8_t>{0x19});
    }
    EXPECT_EQ(b.openFds(), fds);
    EXPECT_EQ(b.count("Invalid read getM2RegsInfoByte"), lines);
}

TEST(Readings, GatedDriveSettlesBeforeReadingAgain)
{
    const json objects = {
        {configPath("M2_1"),
         {{m2Interface, m2Record("M2 Drive 1", 7, 0x6a, 1, "On")}}}};
    DriveBoard b({{"i2c", i2cFor({drive1})}, {"peers", peersFor(objects)}});
    ASSERT_TRUE(b.start()) << b.transcript();
    ASSERT_TRUE(b.waitForValue("M2_Drive_1", 25)) << b.transcript();

    b.setHostState(hostOff);
    EXPECT_TRUE(b.waitForValue("M2_Drive_1", NAN, 3s));
    EXPECT_TRUE(b.wait(
        [&] {
            return !b.property<bool>("M2_Drive_1", availabilityInterface,
                                     "Available");
        },
        3s));
    b.sim.i2c().clear_log();

    // Back on: the drive is read again only once the state held 10 s.
    b.setHostState(hostRunning);
    b.pump(5s);
    EXPECT_TRUE(std::isnan(b.value("M2_Drive_1")));
    EXPECT_TRUE(b.sim.i2c().log().empty());
    EXPECT_TRUE(b.waitForValue("M2_Drive_1", 25, 15s));
    EXPECT_TRUE(
        b.property<bool>("M2_Drive_1", availabilityInterface, "Available"));
    EXPECT_EQ(b.count("Invalid read"), 0U) << b.transcript();
}

// A BMC that boots with the host off: the gated drive is unpowered and
// does not answer. Its sensor comes with one pass once the host state has
// settled; the ungated drive that does not answer is tried in that pass
// only, and with every gated drive found no state change runs a pass.
TEST(Readings, UnansweredGatedDriveIsFoundOnceItsStateSettles)
{
    const json objects = {
        {configPath("M2_1"),
         {{m2Interface, m2Record("M2 Drive 1", 7, 0x6a, 1, "On")}}},
        {configPath("M2_2"), {{m2Interface, m2Record("M2 Drive 2", 8)}}}};
    json peers = peersFor(objects);
    peers["host"]["CurrentHostState"] = hostOff;
    DriveBoard b({{"i2c", i2cFor({drive1, drive2})}, {"peers", peers}});
    b.sim.i2c().set_silent(7, 0x6a, true);
    b.sim.i2c().set_silent(8, 0x6a, true);
    ASSERT_TRUE(b.start()) << b.transcript();
    ASSERT_TRUE(
        b.daemon->wait_for_count("vpdAddr:6a", 2, simboard::scaled(10s)))
        << b.transcript();
    EXPECT_EQ(b.calls_to("xyz.openbmc_project.State.Host").size(), 1U);
    b.sim.i2c().set_silent(7, 0x6a, false);
    b.pump(2s);
    EXPECT_FALSE(b.hasSensor("M2_Drive_1"));

    const auto powered = std::chrono::steady_clock::now();
    b.setHostState(hostRunning);
    ASSERT_TRUE(b.waitForSensors({"M2_Drive_1"}, simboard::scaled(20s)))
        << b.transcript();
    EXPECT_GE(std::chrono::steady_clock::now() - powered, 10s);
    EXPECT_TRUE(b.waitForValue("M2_Drive_1", 25)) << b.transcript();
    EXPECT_EQ(b.passes(), 2U);
    EXPECT_EQ(b.count("bus:8, vpdAddr:6a"), 2U);

    b.setHostState(hostOff);
    ASSERT_TRUE(b.waitForValue("M2_Drive_1", NAN, 5s));
    b.setHostState(hostRunning);
    ASSERT_TRUE(b.waitForValue("M2_Drive_1", 25, simboard::scaled(20s)));
    b.pump(simboard::scaled(3s));
    EXPECT_EQ(b.passes(), 2U) << b.transcript();
}

} // namespace
