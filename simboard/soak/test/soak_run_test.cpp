#include "simboard/fixture/time_scale.hpp"
#include "simboard/soak/board_actions.hpp"
#include "simboard/soak/cpld_updates.hpp"
#include "simboard/soak/supervisor.hpp"

#include <numeric>

#include <gtest/gtest.h>

namespace
{

using namespace std::chrono_literals;
using namespace simboard::soak;

// The real daemons on the sample board: what the soak judges of them must
// hold for daemons that behave.
class SoakRun : public testing::Test
{
  protected:
    void follow()
    {
        daemons.tick();
        sim.io().poll();
        updates.follow();
    }

    std::filesystem::path board_file = SIMBOARD_SAMPLE_BOARD;
    simboard::board sim{simboard::board::load(board_file),
                        board_file.parent_path()};
    supervisor daemons{
        sim,
        {{"drivetherm", DRIVETHERM_BIN, "xyz.openbmc_project.M2Sensor"},
         {"fwkeeper", FWKEEPER_BIN, "xyz.openbmc_project.Software.CPLD.Mgr"}}};
    std::mt19937 random{3};
    board_actions actions{sim, random};
    cpld_updates updates{sim, daemons, random};
};

TEST_F(SoakRun, DaemonsThatBehavePassTheJudgement)
{
    ASSERT_TRUE(simboard::wait_until(
        [&] {
            follow();
            return daemons.answers(daemons.daemon("drivetherm")) &&
                   daemons.answers(daemons.daemon("fwkeeper"));
        },
        simboard::scaled(30s)));

    // Thresholds are written once drivetherm has made its sensors.
    ASSERT_TRUE(simboard::wait_until(
        [&] {
            actions.write_threshold();
            const auto& writes = actions.counts().at("threshold writes");
            return writes.refused < writes.done;
        },
        simboard::scaled(30s)));
    const auto refused_so_far = actions.counts().at("threshold writes").refused;
    for (int i = 0; i < 4; ++i)
    {
        actions.write_threshold();
    }
    EXPECT_EQ(actions.counts().at("threshold writes").refused, refused_so_far);

    constexpr unsigned attempts = 6;
    for (unsigned i = 0; i < attempts; ++i)
    {
        updates.start();
        ASSERT_TRUE(simboard::wait_until(
            [&] {
                follow();
                return !updates.running();
            },
            simboard::scaled(60s)));
    }
    const auto& tally = updates.tally();
    EXPECT_EQ(tally.attempts, attempts);
    EXPECT_TRUE(tally.unfinished.empty());
    EXPECT_EQ(std::accumulate(tally.statuses.begin(), tally.statuses.end(), 0U,
                              [](unsigned sum, const auto& entry) {
                                  return sum + entry.second;
                              }),
              attempts);
    EXPECT_EQ(tally.released, attempts);
    EXPECT_EQ(tally.dishonest, 0U);
    EXPECT_EQ(tally.interrupted, 0U);
    EXPECT_EQ(tally.unexpected, 0U);
    for (const auto& problem : tally.problems)
    {
        ADD_FAILURE() << problem;
    }
    for (auto& daemon : daemons.daemons())
    {
        EXPECT_EQ(daemon.restarts, 0U) << daemon.unit.name;
        EXPECT_TRUE(daemons.answers(daemon)) << daemon.unit.name;
    }
}

} // namespace
