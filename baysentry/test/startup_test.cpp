// The real daemon on the simulated board: the POST-complete watch,
// discovery, and stopping and resuming the polling.
#include "baysentry/test/bay_board.hpp"
#include "dbus/properties.hpp"
#include "simboard/fixture/time_scale.hpp"

#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <optional>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace baysentry_test;
using simboard::output_line;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::IsEmpty;

constexpr const char* fullStandby =
    "xyz.openbmc_project.State.OperatingSystem.Status.OSStatus.Standby";

std::vector<std::string> concat(std::vector<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (auto& part : parts)
    {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// Bus 20: a controller only at 0x3F, id 0x1304 (8 bays), bays 0 and 2
// present. Bus 21: id 0x1303, not in the table. Bus 22: no controller.
// Bays 30-33 hang off bus 20, bay 34 off bus 21.
nlohmann::json discoveryBoard()
{
    std::map<unsigned, std::string> links;
    linkBays(links, 30, 4, 20);
    links[34] = "../../21-0071";
    return boardWith({{20, 0x3F, 0x1304, {{16, 0x05}}},
                      {21, 0x33, 0x1303, {{16, 0xFF}}}},
                     links);
}

TEST(Startup, DiscoversOnStandbyAndKeepsThePresenceHistoryAcrossStops)
{
    BayBoard board(discoveryBoard());
    ASSERT_TRUE(board.start()) << board.transcript();

    // Nothing before "Standby", not even for another property of the OS
    // state object.
    board.emitOsChange("BootProgress", "Standby");
    ASSERT_TRUE(board.listening());
    EXPECT_EQ(board.sim.i2c().transaction_count(), 0u);
    EXPECT_THAT(board.sim.commands(), IsEmpty());
    EXPECT_THAT(board.fruCalls(), IsEmpty());
    EXPECT_EQ(board.entityRescans(), 0u);
    EXPECT_THAT(board.daemon->lines(), IsEmpty());

    board.setOsState("Standby");
    ASSERT_TRUE(board.waitForReads(20, 16, 1)) << board.transcript();
    ASSERT_TRUE(board.saw("scan bus:32")) << board.transcript();
    ASSERT_TRUE(simboard::wait_until(
        [&] {
            return board.sim.commands().size() == 6 &&
                   board.fruCalls().size() == 2;
        },
        10s));
    EXPECT_THAT(
        board.daemon->lines(output_line::stream::err),
        ElementsAre("Get Post Complete, start monitor NVMe present",
                    "bpn bay num:8, nvme start bus:30",
                    "bpn bay num:0, nvme start bus:34",
                    "bpn bay num:0, nvme start bus:0",
                    "[0]present change state: 0x00000005",
                    "rescanNVMeBus:150, bus:30", "rescanNVMeBus:150, bus:32",
                    "rescanNVMeBus:171, scan bus:30",
                    "rescanNVMeBus:171, scan bus:32"));
    EXPECT_THAT(board.daemon->lines(output_line::stream::out), IsEmpty());

    // Probing: the addresses in order, then registers 4 and 5.
    std::vector<std::string> probes;
    auto log = board.sim.i2c().log();
    log.resize(std::min<std::size_t>(log.size(), 12));
    for (const auto& entry : log)
    {
        probes.push_back(
            std::to_string(entry.bus) + " " + std::to_string(entry.address) +
            " " + std::to_string(entry.written.at(0)));
    }
    EXPECT_THAT(probes,
                ElementsAre("20 51 4", "20 55 4", "20 59 4", "20 63 4",
                            "20 63 5", "21 51 4", "21 51 5", "22 51 4",
                            "22 55 4", "22 59 4", "22 63 4", "20 63 16"));
    EXPECT_THAT(board.fruCalls(),
                ElementsAre("ReScanBus(y) [30]", "ReScanBus(y) [32]"));
    EXPECT_EQ(board.sim.commands(), concat({pulseCommands(), pulseCommands()}));

    // Another property while monitoring changes nothing either.
    board.emitOsChange("BootProgress", "Inactive");
    ASSERT_TRUE(board.listening());
    EXPECT_EQ(board.daemon->count("canceled"), 0u);

    // Leaving "Standby" stops the polling.
    ASSERT_TRUE(board.waitForReads(20, 16, 2)) << board.transcript();
    board.setOsState("Inactive");
    ASSERT_TRUE(board.saw("Wake-Monitor timer canceled")) << board.transcript();
    const std::size_t stopped = board.reads(20, 16);
    std::this_thread::sleep_for(5s);
    EXPECT_EQ(board.reads(20, 16), stopped);

    // The full form of "Standby" resumes it; the bays seen before are no
    // change.
    board.setOsState(fullStandby);
    ASSERT_TRUE(board.saw("Get Post Complete", 2)) << board.transcript();
    ASSERT_TRUE(board.waitForReads(20, 16, stopped + 2)) << board.transcript();
    EXPECT_EQ(board.fruCalls().size(), 2u);
    EXPECT_EQ(board.daemon->count("bpn bay num:8, nvme start bus:30"), 2u);

    // "Standby" while monitoring runs discovery again and replaces the
    // pending poll.
    board.setOsState("Standby");
    ASSERT_TRUE(board.saw("Get Post Complete", 3)) << board.transcript();
    EXPECT_TRUE(board.saw("Wake-Monitor timer canceled", 2))
        << board.transcript();
    const std::size_t resumed = board.reads(20, 16);
    EXPECT_TRUE(board.waitForReads(20, 16, resumed + 1)) << board.transcript();

    // Any other full form stops it.
    board.setOsState(
        "xyz.openbmc_project.State.OperatingSystem.Status.OSStatus.Inactive");
    EXPECT_TRUE(board.saw("Wake-Monitor timer canceled", 3))
        << board.transcript();
}

// The discovery board with the OS state peer at `state`, or without it.
nlohmann::json startedAt(const std::optional<std::string>& state)
{
    auto description = discoveryBoard();
    if (state)
    {
        description["peers"]["os"]["OperatingSystemState"] = *state;
    }
    else
    {
        description["peers"].erase("os");
    }
    return description;
}

bool askedOsState(BayBoard& board)
{
    return simboard::wait_until(
        [&] {
            return std::ranges::any_of(
                board.sim.peer_calls(), [](const std::string& call) {
                    return call.find("OperatingSystemState") !=
                           std::string::npos;
                });
        },
        simboard::scaled(10s));
}

TEST(RunningHost, StartedAfterPostItMonitorsUntilTheStateChanges)
{
    for (const char* standby : {"Standby", fullStandby})
    {
        BayBoard board(startedAt(standby));
        ASSERT_TRUE(board.start()) << board.transcript();
        ASSERT_TRUE(board.waitForReads(20, 16, 2)) << board.transcript();
        EXPECT_EQ(board.daemon->count("Get Post Complete"), 1u);
        EXPECT_THAT(board.fruCalls(),
                    ElementsAre("ReScanBus(y) [30]", "ReScanBus(y) [32]"));
        EXPECT_EQ(board.sim.commands(),
                  concat({pulseCommands(), pulseCommands()}));
        board.setOsState("Inactive");
        EXPECT_TRUE(board.saw("Wake-Monitor timer canceled"))
            << board.transcript();
    }
}

TEST(RunningHost, WithoutPostCompleteOrStateServiceItWaitsForTheSignal)
{
    BayBoard inactive(startedAt("Inactive"));
    BayBoard absent(startedAt(std::nullopt));
    ASSERT_TRUE(inactive.start()) << inactive.transcript();
    ASSERT_TRUE(absent.start()) << absent.transcript();
    ASSERT_TRUE(askedOsState(inactive));
    ASSERT_TRUE(absent.saw("failed to get OperatingSystemState: "))
        << absent.transcript();
    std::this_thread::sleep_for(3s);
    EXPECT_THAT(inactive.daemon->lines(), IsEmpty());
    EXPECT_EQ(absent.daemon->lines().size(), 1u);
    EXPECT_EQ(inactive.sim.i2c().transaction_count(), 0u);
    EXPECT_EQ(absent.sim.i2c().transaction_count(), 0u);

    absent.emitOsChange("OperatingSystemState", "Standby");
    EXPECT_TRUE(absent.waitForReads(20, 16, 1)) << absent.transcript();
}

TEST(RunningHost, AStateSignalBeforeTheAnswerWins)
{
    BayBoard board(startedAt("Standby"));
    // The peer answers only once the daemon has seen the signal.
    ASSERT_EQ(::kill(board.sim.peers().pid(), SIGSTOP), 0);
    ASSERT_TRUE(board.start()) << board.transcript();
    board.emitOsChange("OperatingSystemState", "Inactive");
    ASSERT_TRUE(board.listening());
    ASSERT_EQ(::kill(board.sim.peers().pid(), SIGCONT), 0);
    ASSERT_TRUE(askedOsState(board));
    std::this_thread::sleep_for(3s);
    EXPECT_THAT(board.daemon->lines(), IsEmpty());
    EXPECT_EQ(board.sim.i2c().transaction_count(), 0u);
}

} // namespace

namespace
{

// The daemon ends with status 1 within a second, after one line saying why.
void expectFailedExit(BayBoard& board, const std::string& why)
{
    EXPECT_TRUE(board.daemon->wait_for_line("baysentry stopped: ",
                                            simboard::scaled(1s)));
    const auto status = board.daemon->wait_exit(simboard::scaled(1s));
    ASSERT_TRUE(status) << board.transcript();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1)
        << board.transcript();
    EXPECT_THAT(board.daemon->lines(output_line::stream::err),
                ElementsAre(testing::StartsWith("baysentry stopped: " + why)));
}

TEST(Startup, EndsWithAFailureWhenItLosesTheBus)
{
    BayBoard board(discoveryBoard());
    ASSERT_TRUE(board.start()) << board.transcript();
    board.sim.stop_bus();
    expectFailedExit(board, "D-Bus connection lost: ");
}

TEST(Startup, EndsWithAFailureOnAStateSignalItCannotRead)
{
    BayBoard board(discoveryBoard());
    ASSERT_TRUE(board.start()) << board.transcript();
    board.sim.client().emit_signal("/xyz/openbmc_project/state/os",
                                   dbus::properties_interface,
                                   "PropertiesChanged", uint32_t{7});
    expectFailedExit(board, "match callback: sd_bus_message_read: ");
}

} // namespace
