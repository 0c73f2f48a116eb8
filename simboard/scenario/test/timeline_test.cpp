#include "simboard/scenario/timeline.hpp"

#include <stdexcept>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace simboard::scenario;
using namespace std::chrono_literals;
using testing::ElementsAre;

/** A step that records its act and is seen on its `looks`-th look. */
step counted(const std::string& name, std::vector<std::string>& events,
             int looks, std::chrono::milliseconds bound = 10s)
{
    auto seen_after = std::make_shared<int>(looks);
    return {name, bound,
            [name, &events] {
                events.push_back("act " + name);
                return std::string();
            },
            [name, &events, seen_after] {
                if (--*seen_after > 0)
                {
                    return sight::pending();
                }
                events.push_back("seen " + name);
                return sight::seen(name);
            }};
}

std::function<std::optional<std::string>()> no_stop()
{
    return [] { return std::nullopt; };
}

TEST(ScenarioRun, TracksGoSideBySideEachStepAfterTheOneBefore)
{
    std::vector<std::string> events;
    auto missed = run({{counted("a1", events, 3), counted("a2", events, 1)},
                       {counted("b1", events, 1)}},
                      timeline(), no_stop());
    EXPECT_FALSE(missed);
    EXPECT_THAT(events, ElementsAre("act a1", "act b1", "seen b1", "seen a1",
                                    "act a2", "seen a2"));
}

TEST(ScenarioRun, StopsAtTheFirstStepNotSeenWithinItsBound)
{
    std::vector<std::string> events;
    auto missed = run(
        {{counted("slow", events, 1 << 30, 50ms), counted("after", events, 1)},
         {counted("other", events, 1 << 30)}},
        timeline(), no_stop());
    ASSERT_TRUE(missed);
    EXPECT_EQ(describe(*missed),
              "scenario FAILED: step \"slow\" not seen within 1 s");
    EXPECT_THAT(events, ElementsAre("act slow", "act other"));
}

TEST(ScenarioRun, AWrongOutcomeOrAnExceptionFailsTheStepWithItsReason)
{
    auto wrong = run({{{"status", 10s, nullptr,
                        [] { return sight::wrong("UpdasteStatus = x"); }}}},
                     timeline(), no_stop());
    ASSERT_TRUE(wrong);
    EXPECT_EQ(describe(*wrong),
              "scenario FAILED: step \"status\" not seen: UpdasteStatus = x");

    auto thrown =
        run({{{"call", 10s,
               []() -> std::string { throw std::runtime_error("no reply"); },
               [] { return sight::pending(); }}}},
            timeline(), no_stop());
    ASSERT_TRUE(thrown);
    EXPECT_EQ(describe(*thrown),
              "scenario FAILED: step \"call\" not seen: no reply");
}

TEST(ScenarioRun, AStopBetweenRoundsFailsTheFirstUnfinishedStep)
{
    std::vector<std::string> events;
    int rounds = 0;
    auto missed =
        run({{counted("done", events, 1)},
             {counted("waiting", events, 1000)},
             {counted("later", events, 1000)}},
            timeline(), [&rounds]() -> std::optional<std::string> {
                return ++rounds == 2
                           ? std::optional<std::string>("fwkeeper ended")
                           : std::nullopt;
            });
    ASSERT_TRUE(missed);
    EXPECT_EQ(describe(*missed),
              "scenario FAILED: step \"waiting\" not seen: fwkeeper ended");
    EXPECT_EQ(rounds, 2);
}

} // namespace
