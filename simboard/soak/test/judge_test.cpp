#include "simboard/soak/judge.hpp"

#include <sys/wait.h>

#include <csignal>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace simboard::soak;
using testing::IsEmpty;
using testing::SizeIs;

TEST(SoakJudge, TellsErrorLinesFromProgress)
{
    for (const char* line :
         {"cannot get updating owner (No such device)",
          "Sensor M2 Drive 1: Not allowed to set property value.",
          "Discovery pass stopped: Configuration missing Bus", "write failed",
          "There's other's updating: MBCPLD",
          "rescanNVMeBus:171, failed to call ReScanBus"})
    {
        EXPECT_TRUE(reports_error(line)) << line;
    }
    for (const char* line :
         {"Step 5: updating....", "set update status to Update Complete",
          "bpn bay num:8, nvme start bus:30",
          "Get Post Complete, start monitor NVMe present"})
    {
        EXPECT_FALSE(reports_error(line)) << line;
    }
    EXPECT_EQ(error_key("rescanNVMeBus:171, bus:46 failed"),
              "rescanNVMeBus:#, bus:# failed");
}

TEST(SoakJudge, RestartsFailuresAndLosesCleanEnds)
{
    EXPECT_EQ(classify_exit(W_EXITCODE(1, 0)), exit_kind::failure);
    EXPECT_EQ(classify_exit(SIGSEGV), exit_kind::failure);
    EXPECT_EQ(classify_exit(SIGABRT), exit_kind::failure);
    EXPECT_EQ(classify_exit(W_EXITCODE(0, 0)), exit_kind::clean);
    EXPECT_EQ(classify_exit(SIGTERM), exit_kind::clean);
    EXPECT_EQ(describe_exit(W_EXITCODE(3, 0)), "status 3");
}

TEST(SoakJudge, GrowthBeyondNoiseOfTheSameProcessOnly)
{
    const usage base{100, 20000, 9};
    EXPECT_FALSE(judge_growth(base, usage{100, 20500, 11}).memory);
    EXPECT_FALSE(judge_growth(base, usage{100, 20500, 11}).descriptors);
    EXPECT_TRUE(judge_growth(base, usage{100, 20700, 9}).memory);
    EXPECT_TRUE(judge_growth(base, usage{100, 20000, 12}).descriptors);
    // Restarted in between, or down: no growth of its own.
    EXPECT_FALSE(judge_growth(base, usage{101, 90000, 50}).memory);
    EXPECT_FALSE(judge_growth(std::nullopt, base).memory);

    // The start sample is warm-up; a restart starts the comparison anew.
    const std::vector<std::optional<usage>> history{
        usage{100, 1000, 5}, usage{100, 20000, 9}, std::nullopt,
        usage{200, 30000, 9}, usage{200, 31000, 9}};
    EXPECT_TRUE(judge_history(history).memory);
    EXPECT_FALSE(judge_history({usage{100, 1000, 5}, usage{100, 20000, 9},
                                usage{100, 20100, 9}})
                     .memory);
    // A new high-water mark once, flat otherwise: no leak.
    EXPECT_FALSE(judge_history({usage{100, 1000, 5}, usage{100, 20000, 9},
                                usage{100, 20000, 9}, usage{100, 21000, 9},
                                usage{100, 21000, 9}, usage{100, 21000, 9}})
                     .memory);
    EXPECT_TRUE(judge_history({usage{100, 1000, 5}, usage{100, 20000, 9},
                               usage{100, 20400, 9}, usage{100, 20400, 9},
                               usage{100, 20800, 9}, usage{100, 21200, 9}})
                    .memory);
}

update_facts completed()
{
    update_facts facts;
    facts.status = facts.announced = std::string(update_complete);
    facts.expected = std::string(update_complete);
    facts.flash_holds_image = facts.usercode_matches = true;
    facts.owner = "NONE";
    facts.state = "OK";
    return facts;
}

TEST(SoakJudge, AnUpdateIsHonestOnlyWhenTheDeviceAgrees)
{
    auto verdict = judge_update(completed());
    EXPECT_TRUE(verdict.honest && verdict.released && verdict.as_expected);
    EXPECT_THAT(verdict.reasons, IsEmpty());

    auto facts = completed();
    facts.usercode_matches = false;
    EXPECT_FALSE(judge_update(facts).honest);

    facts = completed();
    facts.must_fail = true;
    facts.status = facts.announced = std::string(same_version);
    EXPECT_FALSE(judge_update(facts).honest);

    facts = completed();
    facts.status = facts.announced = std::string(invalid_image);
    facts.expected = std::string(invalid_image);
    facts.state = "FAIL";
    facts.flash_unchanged = false;
    EXPECT_FALSE(judge_update(facts).honest);
    facts.flash_unchanged = true;
    EXPECT_TRUE(judge_update(facts).honest);

    facts = completed();
    facts.status = "None";
    verdict = judge_update(facts);
    EXPECT_FALSE(verdict.honest);
    EXPECT_FALSE(verdict.as_expected);
}

TEST(SoakJudge, TheBoardMustBeGivenBackWithTheRightState)
{
    auto facts = completed();
    facts.owner = "MBCPLD";
    EXPECT_FALSE(judge_update(facts).released);

    facts = completed();
    facts.status = facts.announced = "Program Firmware Error";
    facts.expected = "Program Firmware Error";
    facts.must_fail = true;
    auto verdict = judge_update(facts); // state still "OK"
    EXPECT_TRUE(verdict.honest);
    EXPECT_FALSE(verdict.released);
    EXPECT_THAT(verdict.reasons, SizeIs(1));
    facts.state = "FAIL";
    EXPECT_TRUE(judge_update(facts).released);
}

} // namespace
