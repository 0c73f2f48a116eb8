// Host power and update ownership around Update, with the real daemon on
// the simulated board. Without an uploaded image an attempt that gets the
// board ends quickly with "Invalid Upload CPLD Firmware Error".
#include "fwkeeper/manager/test/cpld_board.hpp"
#include "simboard/fixture/time_scale.hpp"

#include <variant>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace fwkeeper_test;
using simboard::output_line;
using testing::Contains;
using testing::ElementsAre;
using testing::IsEmpty;

constexpr const char* invalid = "Invalid Upload CPLD Firmware Error";
constexpr const char* power_off_request =
    R"(Set(ssv) ["xyz.openbmc_project.State.Chassis","RequestedPowerTransition",["s","xyz.openbmc_project.State.Chassis.Transition.Off"]])";
constexpr const char* power_state_read =
    R"(Get(ss) ["xyz.openbmc_project.State.Chassis","CurrentPowerState"])";
constexpr const char* owner_read =
    R"(Get(ss) ["xyz.openbmc_project.TARNproperties.Manager","UpdatingOwner"])";

std::string board_write(const std::string& property, const std::string& value)
{
    return R"(Set(ssv) ["xyz.openbmc_project.TARNproperties.Manager",")" +
           property + R"(",["s",")" + value + R"("]])";
}

std::vector<std::string> first(std::vector<std::string> calls, std::size_t n)
{
    calls.resize(std::min(n, calls.size()));
    return calls;
}

board_setup with_peer(const std::string& peer, const nlohmann::json& config)
{
    board_setup setup;
    setup.peers[peer] = config;
    return setup;
}

// Changes a property of a peer past its behaviour, to any type.
template <typename T>
void force_board_property(cpld_board& b, const std::string& name,
                          const T& value)
{
    b.sim.client().call_method("xyz.openbmc_project.SimBoard",
                               "/xyz/openbmc_project/simboard/board_properties",
                               "xyz.openbmc_project.SimBoard.BoardProperties",
                               "SetProperty", name, std::variant<T>(value));
}

// The daemon gave up at the ownership: the device saw nothing but the
// start-up usercode read, and nothing was published.
void expect_no_attempt(cpld_board& b)
{
    EXPECT_THAT(b.commands(main_board_cpld()), ElementsAre(0xC0));
    EXPECT_EQ(b.count("set update status to"), 0U);
    EXPECT_EQ(b.property(mb_object, "UpdasteStatus"), "None");
}

TEST(PowerOff, HostAlreadyOffIsReadOnceThenTheBoardIsClaimedAndReleased)
{
    cpld_board b(with_peer(
        "chassis", {{"PowerOff", "never"},
                    {"CurrentPowerState",
                     "xyz.openbmc_project.State.Chassis.PowerState.Off"}}));
    ASSERT_TRUE(b.start()) << b.transcript();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(b.update(mb_object), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - start,
              simboard::scaled(900ms));
    EXPECT_TRUE(b.wait_for_release(0));
    EXPECT_EQ(b.property(mb_object, "UpdasteStatus"), invalid);
    EXPECT_TRUE(b.wait_for_board("NONE", "FAIL"));
    EXPECT_THAT(b.chassis_calls(),
                ElementsAre(power_off_request, power_state_read));
    // Followed by the test's own reads.
    EXPECT_THAT(first(b.board_property_calls(), 6),
                ElementsAre(owner_read, board_write("UpdatingState", "NA"),
                            board_write("UpdatingOwner", "MBCPLD"), owner_read,
                            board_write("UpdatingState", "FAIL"),
                            board_write("UpdatingOwner", "NONE")));
}

TEST(PowerOff, HostGoingOffIsPolledOnceASecond)
{
    cpld_board b(with_peer(
        "chassis", {{"PowerOff", "after-reads"}, {"ReadsBeforeOff", 2}}));
    ASSERT_TRUE(b.start()) << b.transcript();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(b.update(mb_object), std::nullopt);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 2s);
    EXPECT_LT(waited, 2s + simboard::scaled(1s));
    EXPECT_THAT(b.chassis_calls(),
                ElementsAre(power_off_request, power_state_read,
                            power_state_read, power_state_read));
    EXPECT_TRUE(b.wait_for_release(0));
}

// Sleeps 16 seconds by design.
TEST(PowerOff, HostThatNeverGoesOffIsGivenUpAfterSixteenReads)
{
    cpld_board b(with_peer("chassis", {{"PowerOff", "never"}}));
    ASSERT_TRUE(b.start()) << b.transcript();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(b.update(mb_object), std::nullopt);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 16s);
    EXPECT_LT(waited, 16s + simboard::scaled(2s));
    EXPECT_EQ(std::ranges::count(b.chassis_calls(), power_state_read), 16);
    ASSERT_TRUE(b.saw("Cannot power off"));
    EXPECT_THAT(b.daemon->lines(output_line::stream::out),
                ElementsAre("Cannot power off"));
    EXPECT_THAT(b.board_property_calls(), IsEmpty());
    expect_no_attempt(b);
}

TEST(PowerOff, FailedPowerOffRequestIsTheErrorReply)
{
    board_setup absent;
    absent.peers.erase("chassis");
    cpld_board without_chassis(absent);
    ASSERT_TRUE(without_chassis.start()) << without_chassis.transcript();
    auto error = without_chassis.update(mb_object);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->name(), "org.freedesktop.DBus.Error.ServiceUnknown");

    cpld_board refusing(with_peer("chassis", {{"FailTransitionSet", true}}));
    ASSERT_TRUE(refusing.start()) << refusing.transcript();
    error = refusing.update(mb_object);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->name(), "xyz.openbmc_project.SimBoard.Error.Injected");

    for (cpld_board* b : {&without_chassis, &refusing})
    {
        EXPECT_THAT(b->board_property_calls(), IsEmpty());
        EXPECT_THAT(b->daemon->lines(output_line::stream::out), IsEmpty());
        expect_no_attempt(*b);
    }
}

TEST(Ownership, BoardOwnedByAnotherPartyIsLeftAlone)
{
    cpld_board b(with_peer("board_properties", {{"UpdatingOwner", "BIOS"}}));
    ASSERT_TRUE(b.start()) << b.transcript();
    EXPECT_EQ(b.update(mb_object), std::nullopt);
    ASSERT_TRUE(b.daemon->wait_for_line("There's other's updating: BIOS", 10s));

    // Only "NONE" itself means free; a value that is not a string reads
    // as an empty owner.
    force_board_property(b, "UpdatingOwner", std::string("none"));
    EXPECT_EQ(b.update(mb_object), std::nullopt);
    ASSERT_TRUE(b.daemon->wait_for_line("There's other's updating: none", 10s));
    force_board_property(b, "UpdatingOwner", std::uint32_t{3});
    EXPECT_EQ(b.update(mb_object), std::nullopt);
    ASSERT_TRUE(b.daemon->wait_for_count("There's other's updating: ", 3, 10s));
    EXPECT_THAT(b.daemon->lines(output_line::stream::err),
                Contains("There's other's updating: "));

    EXPECT_THAT(b.board_property_calls(),
                ElementsAre(owner_read, owner_read, owner_read));
    expect_no_attempt(b);
}

TEST(Ownership, ClaimTakenByAnotherPartyBeforeTheReadBackIsNotReleased)
{
    cpld_board b(with_peer("board_properties", {{"StealOwner", "BIOS"}}));
    ASSERT_TRUE(b.start()) << b.transcript();
    EXPECT_EQ(b.update(mb_object), std::nullopt);
    ASSERT_TRUE(b.daemon->wait_for_line(
        "Since that i don't get the permission. owner: BIOS", 10s))
        << b.transcript();
    EXPECT_THAT(b.board_property_calls(),
                ElementsAre(owner_read, board_write("UpdatingState", "NA"),
                            board_write("UpdatingOwner", "MBCPLD"),
                            owner_read));
    EXPECT_EQ(b.board_property("UpdatingOwner"), "BIOS");
    EXPECT_EQ(b.board_property("UpdatingState"), "NA");
    expect_no_attempt(b);
}

TEST(Ownership, FailedOwnerReadsAndWritesEndTheRequest)
{
    cpld_board query(
        with_peer("board_properties", {{"FailOwnerGet", "query"}}));
    cpld_board claim(
        with_peer("board_properties", {{"FailOwnerSet", "claim"}}));
    for (cpld_board* b : {&query, &claim})
    {
        ASSERT_TRUE(b->start()) << b->transcript();
        EXPECT_EQ(b->update(mb_object), std::nullopt);
    }
    EXPECT_TRUE(
        query.daemon->wait_for_line("cannot get updating owner (", 10s));
    EXPECT_TRUE(claim.daemon->wait_for_line(
        "cannot set updating owner to MBCPLD (", 10s));
    EXPECT_THAT(query.board_property_calls(), ElementsAre(owner_read));
    EXPECT_THAT(claim.board_property_calls(),
                ElementsAre(owner_read, board_write("UpdatingState", "NA"),
                            board_write("UpdatingOwner", "MBCPLD")));
    expect_no_attempt(query);
    expect_no_attempt(claim);
}

// The claim stays written when its read-back fails: the board is held until
// someone else resets it, and later requests see it taken.
TEST(Ownership, FailedReadBackLeavesTheClaimInPlace)
{
    cpld_board b(with_peer("board_properties", {{"FailOwnerGet", "confirm"}}));
    ASSERT_TRUE(b.start()) << b.transcript();
    EXPECT_EQ(b.update(mb_object), std::nullopt);
    ASSERT_TRUE(b.daemon->wait_for_line(
        "cannot get updating owner after setting", 10s));
    EXPECT_EQ(b.board_property("UpdatingOwner"), "MBCPLD");
    EXPECT_EQ(b.board_property("UpdatingState"), "NA");

    // The request has ended: the next one queries the owner again.
    const auto owner_reads =
        std::ranges::count(b.board_property_calls(), owner_read);
    EXPECT_EQ(b.update(mb_object), std::nullopt);
    ASSERT_TRUE(
        b.daemon->wait_for_line("There's other's updating: MBCPLD", 10s));
    EXPECT_EQ(std::ranges::count(b.board_property_calls(), owner_read),
              owner_reads + 1);
    expect_no_attempt(b);
}

TEST(Ownership, FailedStateWritesAreReportedAndTheRequestGoesOn)
{
    cpld_board b(with_peer("board_properties", {{"FailStateSet", "all"},
                                                {"FailOwnerSet", "release"}}));
    ASSERT_TRUE(b.start()) << b.transcript();
    EXPECT_EQ(b.update_to_end(mb_object), invalid);
    EXPECT_TRUE(b.saw("cannot set to NONE", 2));
    EXPECT_TRUE(b.saw("cannot set to update status"));
    // The release of the owner failed: the board stays claimed.
    EXPECT_EQ(b.board_property("UpdatingOwner"), "MBCPLD");
}

// The second request starts while the first one's claim is on its way: it
// must not take the "NONE" it reads for a free board. It is sent once the
// first one is in its power-off wait (two seconds of sleep), so it is
// queued before any reply of the first one's ownership steps, however
// slowly the test runs.
TEST(Ownership, SecondUpdateWhileTheFirstIsUnderWayIsRefused)
{
    cpld_board b(with_peer(
        "chassis", {{"PowerOff", "after-reads"}, {"ReadsBeforeOff", 2}}));
    ASSERT_TRUE(b.start()) << b.transcript();
    int replies = 0;
    auto call_update = [&] {
        b.sim.client().async_method_call(
            [&replies](boost::system::error_code ec) {
                EXPECT_FALSE(ec);
                ++replies;
            },
            service, mb_object, service, "Update");
    };
    call_update();
    ASSERT_TRUE(simboard::wait_until(
        [&] {
            b.sim.io().poll();
            return std::ranges::count(b.chassis_calls(), power_state_read) > 0;
        },
        simboard::scaled(10s)));
    call_update();
    ASSERT_TRUE(simboard::wait_until(
        [&] {
            b.sim.io().poll();
            return replies == 2;
        },
        simboard::scaled(10s)));
    ASSERT_TRUE(b.wait_for_release(0));
    EXPECT_TRUE(b.wait_for_board("NONE", "FAIL"));
    EXPECT_TRUE(b.saw("There's other's updating: MBCPLD")) << b.transcript();
    EXPECT_TRUE(b.saw("Step 0: open uploaded image."));
    EXPECT_TRUE(b.saw("set update status to"));
    EXPECT_EQ(std::ranges::count(b.chassis_calls(), power_off_request), 2);

    // Once released, the next request gets the board.
    EXPECT_EQ(b.update_to_end(mb_object), invalid);
}

} // namespace
