// The real daemon on the simulated board: a backplane whose bays never
// appear as I2C buses. About a minute by design.
#include "baysentry/test/bay_board.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace baysentry_test;

TEST(StartBusBound, BackplaneWhoseBaysNeverAppearIsLeftAfterAMinute)
{
    // Bus 20's bays are not linked; bays 36-45 hang off bus 21, and the
    // links of 30-35 lead to devices whose names hold no bus number.
    std::map<unsigned, std::string> links;
    for (unsigned bus = 30; bus <= 35; ++bus)
    {
        links[bus] = "../../i2c-mux-" + std::to_string(bus);
    }
    linkBays(links, 36, 10, 21);
    BayBoard board(boardWith(
        {{20, 0x33, 0x1304, {{16, 0x01}}}, {21, 0x37, 0x1301, {{16, 0x01}}}},
        links));
    ASSERT_TRUE(board.start()) << board.transcript();
    const auto standby = std::chrono::steady_clock::now();
    board.setOsState("Standby");

    ASSERT_TRUE(board.daemon->wait_for_line("backplane not monitored", 120s))
        << board.transcript();
    EXPECT_GE(std::chrono::steady_clock::now() - standby, 55s);
    ASSERT_TRUE(board.saw("rescanNVMeBus:171, scan bus:36"))
        << board.transcript();
    EXPECT_THAT(
        board.daemon->lines(simboard::output_line::stream::err),
        testing::ElementsAre(
            "Get Post Complete, start monitor NVMe present",
            "bpn bus:20, no nvme start bus found on buses "
            "30 to 99 after 60 scans, backplane not "
            "monitored",
            "bpn bay num:10, nvme start bus:36",
            "bpn bay num:0, nvme start bus:0",
            "[1]present change state: 0x00000001", "rescanNVMeBus:150, bus:36",
            "rescanNVMeBus:171, scan bus:36"));
    EXPECT_EQ(board.reads(20, 16), 0u);
    EXPECT_TRUE(board.waitForReads(21, 16, 2)) << board.transcript();
}

} // namespace
