#include "simboard/peers/test/peers_fixture.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace simboard::peers::test
{
namespace
{

using nlohmann::json;

constexpr const char* injected = "xyz.openbmc_project.SimBoard.Error.Injected";
constexpr const char* invalid_args = "org.freedesktop.DBus.Error.InvalidArgs";
constexpr const char* control = "xyz.openbmc_project.SimBoard";

constexpr const char* chassis = "xyz.openbmc_project.State.Chassis";
constexpr const char* chassis_path = "/xyz/openbmc_project/state/chassis0";
const typed_value on{"s", "xyz.openbmc_project.State.Chassis.PowerState.On"};
const typed_value off{"s", "xyz.openbmc_project.State.Chassis.PowerState.Off"};

class ChassisTest : public PeersTest
{
  protected:
    typed_value read_power()
    {
        return get(chassis, chassis_path, chassis, "CurrentPowerState");
    }
    void request_off()
    {
        set(chassis, chassis_path, chassis, "RequestedPowerTransition",
            {"s", "xyz.openbmc_project.State.Chassis.Transition.Off"});
    }
    void set_knob(const std::string& name, const typed_value& value)
    {
        set(control, "/xyz/openbmc_project/simboard/chassis",
            "xyz.openbmc_project.SimBoard.Chassis", name, value);
    }
};

TEST_F(ChassisTest, PowersOffAtOnceOnTheOffRequestByDefault)
{
    start({{"chassis", json::object()}});
    auto seen = watch_changes("type='signal',member='PropertiesChanged',"
                              "path='/xyz/openbmc_project/state/chassis0'");
    EXPECT_EQ(read_power(), on);
    request_off();
    EXPECT_EQ(read_power(), off);
    ASSERT_TRUE(run_until([&] { return seen->size() == 2; }));
    EXPECT_EQ(seen->at(1).at(1), json({{"CurrentPowerState", to_json(off)}}));
}

TEST_F(ChassisTest, PowersOffAfterTheGivenNumberOfReadsOfTheRequest)
{
    start({{"chassis", {{"PowerOff", "after-reads"}, {"ReadsBeforeOff", 2}}}});
    EXPECT_EQ(read_power(), on); // reads before the request do not count
    EXPECT_EQ(read_power(), on);
    EXPECT_EQ(read_power(), on);
    request_off();
    EXPECT_EQ(read_power(), on);
    EXPECT_EQ(read_power(), on);
    EXPECT_EQ(read_power(), off);
    EXPECT_EQ(read_power(), off);
}

TEST_F(ChassisTest, NeverPowersOffUntilToldOtherwiseWhileRunning)
{
    start({{"chassis", {{"PowerOff", "never"}}}});
    request_off();
    for (int read = 0; read < 16; ++read)
    {
        EXPECT_EQ(read_power(), on);
    }
    EXPECT_EQ(error_of([&] {
                  set_knob("PowerOff", {"s", "soon"});
              }),
              invalid_args);
    set_knob("PowerOff", {"s", "after-reads"});
    set_knob("ReadsBeforeOff", {"u", 17});
    EXPECT_EQ(read_power(), on);
    set_knob("ReadsBeforeOff", {"u", 0});
    EXPECT_EQ(read_power(), off);
}

TEST_F(ChassisTest, FailingTransitionSetChangesNothing)
{
    start({{"chassis", {{"FailTransitionSet", true}}}});
    EXPECT_EQ(error_of([&] { request_off(); }), injected);
    EXPECT_EQ(
        get(chassis, chassis_path, chassis, "RequestedPowerTransition"),
        (typed_value{"s", "xyz.openbmc_project.State.Chassis.Transition.On"}));
    EXPECT_EQ(read_power(), on);
    set_knob("FailTransitionSet", {"b", false});
    request_off();
    EXPECT_EQ(read_power(), off);
}

TEST_F(ChassisTest, PowerStateMayStartOffOrNotBeAString)
{
    start({{"chassis", {{"CurrentPowerState", to_json(off)}}}});
    EXPECT_EQ(read_power(), off);
    EXPECT_EQ(error_of([&] {
                  set(chassis, chassis_path, chassis, "CurrentPowerState", on);
              }),
              "org.freedesktop.DBus.Error.PropertyReadOnly");

    start({{"chassis",
            {{"CurrentPowerState", {"i", 1}}, {"PowerOff", "never"}}}});
    request_off();
    EXPECT_EQ(read_power(), (typed_value{"i", 1}));
}

constexpr const char* mgr = "xyz.openbmc_project.TARNproperties.Manager";
constexpr const char* mgr_path = "/xyz/openbmc_project/TARNproperties/mgr";
const typed_value none{"s", "NONE"};

/** The claim and release sequences of an updater named MBCPLD. */
class OwnershipTest : public PeersTest
{
  protected:
    typed_value owner()
    {
        return get(mgr, mgr_path, mgr, "UpdatingOwner");
    }
    void write(const std::string& property, const std::string& value)
    {
        set(mgr, mgr_path, mgr, property, {"s", value});
    }
    /** Errors of: owner query, state "NA", owner claim, confirming read. */
    std::vector<std::string> claim()
    {
        return {error_of([&] { owner(); }),
                error_of([&] { write("UpdatingState", "NA"); }),
                error_of([&] { write("UpdatingOwner", "MBCPLD"); }),
                error_of([&] { owner(); })};
    }
    /** Errors of: state "OK", owner "NONE". */
    std::vector<std::string> release()
    {
        return {error_of([&] { write("UpdatingState", "OK"); }),
                error_of([&] { write("UpdatingOwner", "NONE"); })};
    }
};

TEST_F(OwnershipTest, UncontendedClaimReadsBackAndReleases)
{
    start({{"board_properties", json::object()}});
    EXPECT_EQ(owner(), none);
    EXPECT_THAT(claim(), testing::Each(""));
    EXPECT_EQ(owner(), (typed_value{"s", "MBCPLD"}));
    EXPECT_THAT(release(), testing::Each(""));
    EXPECT_EQ(owner(), none);
}

TEST_F(OwnershipTest, AnotherPartyTakesTheBoardRightAfterEachClaim)
{
    start({{"board_properties", {{"StealOwner", "BIOS"}}}});
    EXPECT_THAT(claim(), testing::Each(""));
    EXPECT_EQ(owner(), (typed_value{"s", "BIOS"}));
    write("UpdatingOwner", "NONE"); // releases are not taken over
    EXPECT_EQ(owner(), none);

    set(control, "/xyz/openbmc_project/simboard/board_properties",
        "xyz.openbmc_project.SimBoard.BoardProperties", "StealOwner",
        {"s", ""});
    claim();
    EXPECT_EQ(owner(), (typed_value{"s", "MBCPLD"}));
}

TEST_F(OwnershipTest, InjectedFailuresHitOnlyTheChosenCalls)
{
    struct script
    {
        json knobs;
        std::vector<std::string> claim_errors;
        std::vector<std::string> release_errors;
    };
    const std::string ok;
    const std::vector<script> scripts = {
        {{{"FailOwnerSet", "claim"}}, {ok, ok, injected, ok}, {ok, ok}},
        {{{"FailOwnerSet", "release"}}, {ok, ok, ok, ok}, {ok, injected}},
        {{{"FailStateSet", "claim"}}, {ok, injected, ok, ok}, {ok, ok}},
        {{{"FailStateSet", "all"}}, {ok, injected, ok, ok}, {injected, ok}},
        {{{"FailOwnerGet", "query"}}, {injected, ok, ok, ok}, {ok, ok}},
        {{{"FailOwnerGet", "confirm"}}, {ok, ok, ok, injected}, {ok, ok}},
    };
    for (const script& s : scripts)
    {
        start({{"board_properties", s.knobs}});
        EXPECT_EQ(claim(), s.claim_errors) << s.knobs;
        EXPECT_EQ(release(), s.release_errors) << s.knobs;
    }
    // A failed write stores nothing.
    start({{"board_properties", {{"FailOwnerSet", "claim"}}}});
    claim();
    EXPECT_EQ(owner(), none);
}

TEST_F(OwnershipTest, OwnerMayStartTakenOrNotBeAString)
{
    start({{"board_properties", {{"UpdatingOwner", "BIOS"}}}});
    EXPECT_EQ(owner(), (typed_value{"s", "BIOS"}));

    start({{"board_properties", {{"UpdatingOwner", {"i", 5}}}}});
    EXPECT_EQ(owner(), (typed_value{"i", 5}));
    EXPECT_EQ(error_of([&] { write("UpdatingOwner", "MBCPLD"); }),
              invalid_args);
}

} // namespace
} // namespace simboard::peers::test
