#include "baysentry/presence.hpp"
#include "baysentry/test/fake_board.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace baysentry;
using baysentry_test::FakeRegisters;
using baysentry_test::RecordingActions;
using testing::ElementsAre;
using testing::IsEmpty;

// Backplanes on bus 20 (8 bays from bus 30) and 21 (12 bays from bus 40).
class Polling : public testing::Test
{
  protected:
    Polling()
    {
        backplanes.bpnCpldAddr = {{20, 0x33}, {21, 0x37}};
        backplanes.bpnInfo = {{20, {8, 30}}, {21, {12, 40}}};
        for (uint8_t reg : presenceRegs)
        {
            regs.bytes[{20, 0x33, reg}] = 0;
            regs.bytes[{21, 0x37, reg}] = 0;
        }
    }

    std::vector<std::string> tick()
    {
        state.tick(backplanes, regs.reader(), actions);
        return actions.take();
    }

    // Ticks until the sensor service restart of the running change cycle.
    void settle()
    {
        for (int i = 0; i < 12; ++i)
        {
            auto done = tick();
            if (!done.empty() && done.back() == "restart")
            {
                return;
            }
        }
        FAIL() << "no restart within 12 ticks";
    }

    // Each action by tick, `count` ticks.
    std::vector<std::vector<std::string>> ticks(int count)
    {
        std::vector<std::vector<std::string>> all;
        for (int i = 0; i < count; ++i)
        {
            all.push_back(tick());
        }
        return all;
    }

    void setReg(uint8_t bus, uint8_t reg, uint8_t value)
    {
        regs.bytes[{bus, bus == 20 ? uint8_t{0x33} : uint8_t{0x37}, reg}] =
            value;
    }

    Backplanes backplanes;
    FakeRegisters regs;
    RecordingActions actions;
    PresenceState state;
};

const std::vector<std::string> none;
const std::vector<std::string> pulseOnly{"pulse"};
const std::vector<std::string> restart{"stop", "ReScan", "restart"};

TEST_F(Polling, FirstTickSeesEverySetBitAsChangedAndRescansAtOnce)
{
    setReg(20, 16, 0x05);
    setReg(21, 17, 0x02);
    EXPECT_THAT(tick(), ElementsAre("ReScanBus 30", "ReScanBus 32",
                                    "ReScanBus 49", "pulse"));
    // Nothing changes after it: an empty pass and the pulse at tick 5, the
    // restart at tick 6.
    EXPECT_THAT(ticks(6),
                ElementsAre(none, none, none, none, pulseOnly, restart));
    EXPECT_THAT(ticks(8), testing::Each(IsEmpty()));
}

TEST_F(Polling, ChangeIsRescannedAfterFourQuietTicks)
{
    setReg(20, 16, 0x01);
    settle();
    setReg(21, 17, 0x08); // bay 11 of the backplane starting at bus 40
    EXPECT_THAT(ticks(8), ElementsAre(none, none, none, none, none,
                                      ElementsAre("ReScanBus 51", "pulse"),
                                      restart, none));
}

TEST_F(Polling, ChangeDuringQuietTicksRestartsTheCount)
{
    setReg(20, 16, 0x01);
    settle();
    setReg(20, 16, 0x03);
    auto first = ticks(3);
    setReg(20, 16, 0x07);
    EXPECT_THAT(first, testing::Each(IsEmpty()));
    EXPECT_THAT(
        ticks(8),
        ElementsAre(none, none, none, none, none,
                    ElementsAre("ReScanBus 31", "ReScanBus 32", "pulse"),
                    restart, none));
}

TEST_F(Polling, BayFlippingTwiceIsStillRescanned)
{
    setReg(20, 16, 0x01);
    settle();
    setReg(20, 16, 0x11);
    tick();
    setReg(20, 16, 0x01);
    EXPECT_THAT(ticks(7),
                ElementsAre(none, none, none, none, none,
                            ElementsAre("ReScanBus 34", "pulse"), restart));
}

TEST_F(Polling, ChangeReadInTheRestartTickIsNotLost)
{
    setReg(20, 16, 0x01);
    for (int i = 0; i < 6; ++i)
    {
        tick();
    }
    setReg(21, 16, 0x01); // read by the tick that restarts the sensors
    EXPECT_EQ(tick(), restart);
    EXPECT_THAT(ticks(6),
                ElementsAre(none, none, none, none,
                            ElementsAre("ReScanBus 40", "pulse"), restart));
}

TEST_F(Polling, PassSendsEachChangedBusOnce)
{
    setReg(20, 16, 0x80);
    setReg(21, 16, 0x01);
    setReg(21, 17, 0x02);
    EXPECT_THAT(tick(), ElementsAre("ReScanBus 37", "ReScanBus 40",
                                    "ReScanBus 49", "pulse"));
}

TEST_F(Polling, RegistersReadFollowTheBayCount)
{
    backplanes.bpnCpldAddr[22] = 0x3B;
    backplanes.bpnInfo[22] = {26, 60};
    for (uint8_t reg : presenceRegs)
    {
        regs.bytes[{22, 0x3B, reg}] = 0;
    }
    regs.bytes[{22, 0x3B, 19}] = 0x02; // bay 25
    EXPECT_THAT(tick(), ElementsAre("ReScanBus 85", "pulse"));
    using Key = FakeRegisters::Key;
    EXPECT_THAT(regs.reads, ElementsAre(Key{20, 0x33, 16}, Key{21, 0x37, 16},
                                        Key{21, 0x37, 17}, Key{22, 0x3B, 16},
                                        Key{22, 0x3B, 17}, Key{22, 0x3B, 18},
                                        Key{22, 0x3B, 19}));
}

TEST_F(Polling, FailedReadSkipsTheRestOfThatBackplaneForOneTick)
{
    setReg(21, 17, 0x01);
    regs.failing.insert({21, 0x37, 16});
    testing::internal::CaptureStderr();
    EXPECT_THAT(tick(), IsEmpty());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "wakeMonitorTimerStart:207\n");
    using Key = FakeRegisters::Key;
    EXPECT_THAT(regs.reads, ElementsAre(Key{20, 0x33, 16}, Key{21, 0x37, 16}));

    regs.failing.clear();
    regs.failing.insert({21, 0x37, 17});
    testing::internal::CaptureStderr();
    EXPECT_THAT(tick(), IsEmpty());
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "wakeMonitorTimerStart:229\n");

    regs.failing.clear();
    EXPECT_THAT(tick(), ElementsAre("ReScanBus 48", "pulse"));
}

TEST_F(Polling, FailingPulseCancelsThePendingPoll)
{
    setReg(20, 16, 0x01);
    actions.pulseResult = -1;
    testing::internal::CaptureStderr();
    EXPECT_THAT(tick(), ElementsAre("ReScanBus 30", "pulse", "cancel"));
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                testing::HasSubstr(
                    "wakeMonitorTimerStart:306, monitor timer be canceled\n"));
}

TEST_F(Polling, PassWithOnlyZeroWordsSendsNothingButStillPulses)
{
    setReg(21, 17, 0x08);
    ticks(5);
    testing::internal::CaptureStderr();
    EXPECT_EQ(tick(), pulseOnly); // only zero words left
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[0]present change state: 0x00000000\n"
              "[1]present change state: 0x00000000\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(tick(), restart);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "wakeMonitorTimerStart:335, EntityManager ReScan\n");
}

} // namespace
