// The real daemon on the simulated board: the presence polling, the
// rescans and their failures.
#include "baysentry/test/bay_board.hpp"

#include <algorithm>
#include <chrono>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace baysentry_test;
using testing::ElementsAre;

constexpr const char* stopSensors =
    "systemctl stop xyz.openbmc_project.nvmesensor.service";
constexpr const char* startSensors =
    "systemctl start xyz.openbmc_project.nvmesensor.service";

// Bus 20: 8 bays from bus 30, bay 0 present. Bus 21: 12 bays from bus 40,
// none present.
nlohmann::json twoBackplanes(bool withPeers = true)
{
    std::map<unsigned, std::string> links;
    linkBays(links, 30, 8, 20);
    linkBays(links, 40, 12, 21);
    return boardWith({{20, 0x33, 0x1304, {{16, 0x01}}}, {21, 0x37, 0x1302}},
                     links, withPeers);
}

// First written byte of each presence read of one tick, per bus, from the
// i2c log: "20:16 21:16 21:17".
std::vector<std::string> presenceReads(BayBoard& board)
{
    std::vector<std::string> reads;
    for (const auto& entry : board.sim.i2c().log())
    {
        const unsigned reg = entry.written.at(0);
        if (reg >= 16 && reg <= 19)
        {
            reads.push_back(
                std::to_string(entry.bus) + ":" + std::to_string(reg) +
                (entry.result == "ok" ? "" : "!"));
        }
    }
    return reads;
}

TEST(Timeline, ChangeIsRescannedAtTheFifthQuietTickAndTheSensorsRestarted)
{
    BayBoard board(twoBackplanes());
    ASSERT_TRUE(board.start()) << board.transcript();
    board.setOsState("Standby");
    ASSERT_TRUE(board.waitForReads(21, 16, 3)) << board.transcript();

    // Insert bay 11 of bus 21 two ticks into the first change's count: the
    // count starts again from the tick that reads it.
    board.sim.i2c().write_register(21, 0x37, 17, 0x08);
    const std::size_t before = board.reads(21, 16);
    const auto changeTick = before + 1;

    ASSERT_TRUE(
        simboard::wait_until([&] { return board.fruCalls().size() == 2; }, 30s))
        << board.transcript();
    EXPECT_EQ(board.reads(21, 16), changeTick + 5);
    EXPECT_THAT(board.fruCalls(),
                ElementsAre("ReScanBus(y) [30]", "ReScanBus(y) [51]"));
    EXPECT_EQ(board.entityRescans(), 0u);

    ASSERT_TRUE(
        simboard::wait_until([&] { return board.entityRescans() == 1; }, 10s))
        << board.transcript();
    const auto rescanAt = std::chrono::steady_clock::now();
    EXPECT_EQ(board.reads(21, 16), changeTick + 6);
    ASSERT_TRUE(board.saw("wakeMonitorTimerStart:335, EntityManager ReScan"))
        << board.transcript();

    ASSERT_TRUE(
        board.daemon->wait_for_line("operator():346, Restart NVMe sensor", 20s))
        << board.transcript();
    EXPECT_GE(std::chrono::steady_clock::now() - rescanAt, 9s);

    std::vector<std::string> expected;
    for (int pulse = 0; pulse < 3; ++pulse) // discovery, tick 0, tick 5
    {
        auto commands = pulseCommands();
        expected.insert(expected.end(), commands.begin(), commands.end());
    }
    expected.push_back(stopSensors);
    expected.push_back(startSensors);
    EXPECT_EQ(board.sim.commands(), expected);
    EXPECT_EQ(board.daemon->count("failed"), 0u) << board.transcript();
}

// Bus 20: 8 bays, bus 21: 10 bays, bus 22: 12 bays, nothing present.
TEST(Registers, ReadPerBayCountAndAFailedReadSkipsTheRestOfItsBackplane)
{
    std::map<unsigned, std::string> links;
    linkBays(links, 30, 8, 20);
    linkBays(links, 40, 10, 21);
    linkBays(links, 50, 12, 22);
    BayBoard board(boardWith(
        {{20, 0x33, 0x1304}, {21, 0x37, 0x1301}, {22, 0x3B, 0x1302}}, links));
    ASSERT_TRUE(board.start()) << board.transcript();
    board.setOsState("Standby");
    ASSERT_TRUE(board.waitForReads(22, 17, 1)) << board.transcript();
    const std::vector<std::string> tick{"20:16", "21:16", "21:17", "22:16",
                                        "22:17"};
    EXPECT_EQ(presenceReads(board), tick);

    board.sim.i2c().nack_nth_command(21, 0x37, 16, 1);
    board.sim.i2c().nack_nth_command(22, 0x3B, 17, 2);
    ASSERT_TRUE(board.waitForReads(22, 17, 4)) << board.transcript();
    EXPECT_EQ(presenceReads(board),
              (std::vector<std::string>{
                  "20:16", "21:16", "21:17", "22:16", "22:17",    // tick 0
                  "20:16", "21:16!", "22:16", "22:17",            // 1
                  "20:16", "21:16", "21:17", "22:16", "22:17!",   // 2
                  "20:16", "21:16", "21:17", "22:16", "22:17"})); // 3
    EXPECT_TRUE(board.saw("wakeMonitorTimerStart:207"));
    EXPECT_TRUE(board.saw("wakeMonitorTimerStart:229"));
    EXPECT_TRUE(board.fruCalls().empty());
}

TEST(PeerFaults, FailedRescanCallsAreReportedOnceAndPollingGoesOn)
{
    BayBoard board(twoBackplanes(false)); // no FRU service, no EntityManager
    board.sim.i2c().write_register(21, 0x37, 17, 0x03);
    ASSERT_TRUE(board.start()) << board.transcript();
    board.setOsState("Standby");

    ASSERT_TRUE(board.saw("failed to call ReScanBus", 3)) << board.transcript();
    // "ReScan" at tick 6; the text also begins each "ReScanBus" line.
    ASSERT_TRUE(board.daemon->wait_for_count("failed to call ReScan", 4, 30s))
        << board.transcript();
    const std::size_t after = board.reads(21, 16);
    ASSERT_TRUE(board.waitForReads(21, 16, after + 2)) << board.transcript();
    EXPECT_EQ(board.daemon->count("failed to call ReScanBus"), 3u);
    EXPECT_EQ(board.daemon->count("failed to call ReScan"), 4u);
    EXPECT_EQ(board.sim.commands().at(9), stopSensors);
}

TEST(FruTakesWord, RefusedByteIsSentAgainAsWordAndEveryLaterBusAsWord)
{
    auto description = twoBackplanes();
    description["peers"]["fru"]["ReScanBusSignature"] = "q";
    description["peers"]["os"]["OperatingSystemState"] = "Standby";
    BayBoard board(description);
    ASSERT_TRUE(board.start()) << board.transcript();
    ASSERT_TRUE(simboard::wait_until(
        [&] { return board.fruCalls().size() == 2; }, simboard::scaled(10s)))
        << board.transcript();
    board.sim.i2c().write_register(21, 0x37, 17, 0x08);
    ASSERT_TRUE(simboard::wait_until(
        [&] { return board.fruCalls().size() == 3; }, simboard::scaled(30s)))
        << board.transcript();
    EXPECT_THAT(board.fruCalls(),
                ElementsAre("ReScanBus(y) [30]", "ReScanBus(q) [30]",
                            "ReScanBus(q) [51]"));
    EXPECT_EQ(board.daemon->count("takes a 16-bit bus number"), 1u);
    EXPECT_EQ(board.daemon->count("failed"), 0u) << board.transcript();
}

TEST(PulseFails, FailingPulseIsReportedAndPollingGoesOn)
{
    BayBoard board(twoBackplanes());
    // With SIGCHLD ignored the shell's status cannot be collected: every
    // command the daemon runs comes back as -1.
    ASSERT_TRUE(
        board.start({"/bin/bash", "-c",
                     "trap '' CHLD; exec " + std::string(BAYSENTRY_BIN)}))
        << board.transcript();
    board.setOsState("Standby");
    ASSERT_TRUE(board.saw("wakeMonitorTimerStart:306, monitor timer be "
                          "canceled"))
        << board.transcript();
    ASSERT_TRUE(board.waitForReads(20, 16, 3)) << board.transcript();
    // No wait was pending when the pulse failed: nothing was cancelled.
    EXPECT_EQ(board.daemon->count("Wake-Monitor timer canceled"), 0u);
}

} // namespace
