#include "baysentry/backplane.hpp"
#include "baysentry/monitor.hpp"
#include "baysentry/test/fake_board.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace baysentry;
using baysentry_test::FakeRegisters;
using testing::ElementsAre;
using testing::IsEmpty;
using testing::Optional;

std::string linkPath(unsigned bus)
{
    return "/sys/bus/i2c/devices/i2c-" + std::to_string(bus) + "/mux_device";
}

class Discovery : public testing::Test
{
  protected:
    Discovery()
    {
        io.i2cGet = regs.reader();
        io.readLink = [this](const std::string& path) {
            ++linkReads;
            auto link = links.find(path);
            return link == links.end() ? std::nullopt
                                       : std::optional(link->second);
        };
        io.sleep = [this](std::chrono::seconds s) {
            sleeps.push_back(s.count());
            if (onSleep)
            {
                onSleep();
            }
        };
    }

    void controller(uint8_t bus, uint8_t addr, uint8_t low, uint8_t high)
    {
        regs.bytes[{bus, addr, 4}] = low;
        regs.bytes[{bus, addr, 5}] = high;
    }

    // Discovers `bus`, returns what it printed.
    std::string discover(uint8_t bus)
    {
        testing::internal::CaptureStderr();
        discoverBackplane(bus, found, io);
        return testing::internal::GetCapturedStderr();
    }

    FakeRegisters regs;
    std::map<std::string, std::string> links;
    unsigned linkReads = 0;
    std::vector<long> sleeps;
    std::function<void()> onSleep;
    DiscoveryIo io;
    Backplanes found;
};

TEST_F(Discovery, TriesTheAddressesInOrderAndFormsTheIdFromRegisters4And5)
{
    controller(20, 0x3F, 0x04, 0x13); // 0x1304: 8 bays
    for (unsigned bus = 30; bus <= 33; ++bus)
    {
        links[linkPath(bus)] = "../../20-0070";
    }
    EXPECT_EQ(discover(20), "bpn bay num:8, nvme start bus:30\n");
    using Key = FakeRegisters::Key;
    EXPECT_THAT(regs.reads, ElementsAre(Key{20, 0x33, 4}, Key{20, 0x37, 4},
                                        Key{20, 0x3B, 4}, Key{20, 0x3F, 4},
                                        Key{20, 0x3F, 5}));
    EXPECT_EQ(found.bpnCpldAddr, (std::map<uint8_t, uint8_t>{{20, 0x3F}}));
    EXPECT_EQ(found.bpnInfo, (std::map<uint8_t, BayRange>{{20, {8, 30}}}));
}

TEST_F(Discovery, StartBusIsTheFirstBayBusLinkedToTheBackplane)
{
    controller(20, 0x33, 0x01, 0x13); // 10 bays
    controller(21, 0x37, 0x02, 0x13); // 12 bays
    for (unsigned bus = 30; bus <= 33; ++bus)
    {
        links[linkPath(bus)] = "../../20-0070";
    }
    links[linkPath(34)] = "../../21-0071";
    discover(20);
    EXPECT_EQ(discover(21), "bpn bay num:12, nvme start bus:34\n");
    EXPECT_EQ(found.bpnInfo,
              (std::map<uint8_t, BayRange>{{20, {10, 30}}, {21, {12, 34}}}));
}

TEST_F(Discovery, BackplanesWithoutBaysAreNotMonitored)
{
    links[linkPath(40)] = "../../21-0070";
    controller(21, 0x33, 0x03, 0x13); // 0x1303: not in the table
    EXPECT_EQ(discover(21), "bpn bay num:0, nvme start bus:40\n");
    EXPECT_EQ(found.bpnCpldAddr.at(21), 0x33);

    controller(22, 0x33, 0x00, 0x00); // id 0: no start bus searched
    EXPECT_EQ(discover(22), "bpn bay num:0, nvme start bus:0\n");
    EXPECT_EQ(discover(20), "bpn bay num:0, nvme start bus:0\n"); // silent

    regs.bytes[{23, 0x33, 4}] = 0x01; // register 5 fails: id -1
    linkReads = 0;
    EXPECT_EQ(discover(23), "bpn bay num:0, nvme start bus:0\n");
    EXPECT_FALSE(found.bpnCpldAddr.contains(23));

    EXPECT_THAT(found.bpnInfo, IsEmpty());
    EXPECT_EQ(linkReads, 0u);
    EXPECT_THAT(sleeps, IsEmpty());
}

TEST_F(Discovery, LaterDiscoveryOverwritesItsBusOnly)
{
    controller(20, 0x33, 0x04, 0x13);
    links[linkPath(30)] = "../../20-0070";
    discover(20);
    controller(20, 0x33, 0x05, 0x13); // 6 bays now
    links[linkPath(30)] = "../../21-0070";
    links[linkPath(36)] = "../../20-0070";
    discover(20);
    EXPECT_EQ(found.bpnInfo, (std::map<uint8_t, BayRange>{{20, {6, 36}}}));
    controller(20, 0x33, 0x00, 0x00);
    discover(20);
    EXPECT_EQ(found.bpnInfo, (std::map<uint8_t, BayRange>{{20, {6, 36}}}));
}

TEST(MuxParentBus, TakesTheLeadingNumberOfTheLastComponent)
{
    EXPECT_THAT(muxParentBus("../../20-0070"), Optional(20u));
    EXPECT_THAT(muxParentBus("/sys/devices/i2c-3/21-0071"), Optional(21u));
    EXPECT_THAT(muxParentBus("22"), Optional(22u));
    EXPECT_EQ(muxParentBus("../../i2c-mux-20"), std::nullopt);
    EXPECT_EQ(muxParentBus("../../-20-0070"), std::nullopt);
    EXPECT_EQ(muxParentBus(""), std::nullopt);
    EXPECT_EQ(muxParentBus("../../99999999999-0070"), std::nullopt);
}

TEST_F(Discovery, StartBusSearchScansOncePerSecondUntilTheBaysAppear)
{
    controller(20, 0x33, 0x04, 0x13);
    onSleep = [this] {
        if (sleeps.size() == 3)
        {
            links[linkPath(45)] = "../../20-0070";
        }
    };
    EXPECT_EQ(discover(20), "bpn bay num:8, nvme start bus:45\n");
    EXPECT_THAT(sleeps, ElementsAre(1, 1, 1));
    EXPECT_EQ(linkReads, 3u * 70u + 16u);
}

TEST_F(Discovery, StartBusSearchGivesUpAfterAMinute)
{
    controller(20, 0x33, 0x04, 0x13);
    links[linkPath(30)] = "../../20-0070";
    discover(20);
    links.clear();
    controller(20, 0x33, 0x02, 0x13);
    EXPECT_EQ(discover(20), "bpn bus:20, no nvme start bus found on buses 30 "
                            "to 99 after 60 scans, backplane not monitored\n");
    EXPECT_EQ(sleeps.size(), 59u);
    EXPECT_EQ(linkReads, 1u + 60u * 70u);
    // What an earlier discovery found stays.
    EXPECT_EQ(found.bpnInfo, (std::map<uint8_t, BayRange>{{20, {8, 30}}}));
}

TEST(PostComplete, StandbyInShortAndFullForm)
{
    EXPECT_TRUE(isPostComplete("Standby"));
    EXPECT_TRUE(isPostComplete(
        "xyz.openbmc_project.State.OperatingSystem.Status.OSStatus.Standby"));
    EXPECT_FALSE(isPostComplete(
        "xyz.openbmc_project.State.OperatingSystem.Status.OSStatus.Inactive"));
    EXPECT_FALSE(isPostComplete("Inactive"));
    EXPECT_FALSE(isPostComplete("standby"));
    EXPECT_FALSE(isPostComplete("OSStatus.Standby"));
    EXPECT_FALSE(isPostComplete(""));
}

} // namespace
