// Start-up of the real daemon on the simulated board: which CPLDs it
// publishes, with which version and members, and when it refuses to start.
#include "fwkeeper/manager/test/cpld_board.hpp"

#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using namespace fwkeeper_test;
using simboard::output_line;
using testing::ElementsAre;

std::string sample_repository()
{
    std::ifstream file(CPLD_REPO_FILE);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

bool has_update_members(cpld_board& b, const std::string& object)
{
    try
    {
        b.property(object, "UpdasteStatus");
        return true;
    }
    catch (const dbus::error&)
    {
        return false;
    }
}

bool has_object(cpld_board& b, const std::string& object)
{
    try
    {
        b.property(object, "Version");
        return true;
    }
    catch (const dbus::error&)
    {
        return false;
    }
}

// The daemon ends with status 1 and leaves nothing on the bus.
void expect_refused_start(cpld_board& b)
{
    auto status = b.daemon->wait_exit(20s);
    ASSERT_TRUE(status) << b.transcript();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1)
        << b.transcript();
    EXPECT_FALSE(b.published());
}

board_setup three_cplds()
{
    board_setup setup;
    setup.cplds = {main_board_cpld(), backplane_cpld(), backplane2_cpld()};
    return setup;
}

TEST(Startup, SampleRepositoryPublishesTheBoardsThreeCplds)
{
    board_setup setup = three_cplds();
    setup.repository = sample_repository();
    setup.cplds[1].usercode = 0x34ab005f;
    cpld_board b(setup);
    ASSERT_TRUE(b.start({mb_object, bpn_object, bpn2_object}))
        << b.transcript();
    EXPECT_EQ(b.property(mb_object, "Version"), "0A1B2C3D");
    EXPECT_EQ(b.property(bpn_object, "Version"), "34AB005F");
    for (const char* object : {mb_object, bpn_object, bpn2_object})
    {
        EXPECT_EQ(b.property(object, "UpdasteStatus"), "None") << object;
    }
    ASSERT_TRUE(b.saw("dev_id=", 3));
    EXPECT_THAT(b.daemon->lines(output_line::stream::err),
                ElementsAre("dev_id=0, usercode=0A1B2C3D",
                            "dev_id=1, usercode=34AB005F",
                            "dev_id=2, usercode=0A1B2C3D"));
}

TEST(Startup, CapabilityBitsGrantUpdatePerCpldKind)
{
    board_setup setup = three_cplds();
    setup.capability = "0x10000\n";
    cpld_board main_only(setup);
    setup.capability = "0x20000\n";
    cpld_board backplanes_only(setup);
    setup.capability.clear();
    cpld_board no_word(setup);
    for (cpld_board* b : {&main_only, &backplanes_only, &no_word})
    {
        ASSERT_TRUE(b->start({mb_object, bpn_object, bpn2_object}))
            << b->transcript();
    }
    EXPECT_TRUE(has_update_members(main_only, mb_object));
    EXPECT_FALSE(has_update_members(main_only, bpn_object));
    EXPECT_FALSE(has_update_members(main_only, bpn2_object));
    EXPECT_FALSE(has_update_members(backplanes_only, mb_object));
    EXPECT_TRUE(has_update_members(backplanes_only, bpn_object));
    EXPECT_TRUE(has_update_members(backplanes_only, bpn2_object));
    for (const char* object : {mb_object, bpn_object, bpn2_object})
    {
        EXPECT_FALSE(has_update_members(no_word, object));
    }
    EXPECT_TRUE(no_word.saw("Failed to BMC capability "));
    EXPECT_EQ(main_only.count("Failed to BMC capability "), 0U);
}

TEST(Startup, BlankUsercodeShowsTheChipRevisions)
{
    board_setup setup = three_cplds();
    for (cpld_device& device : setup.cplds)
    {
        device.usercode = 0;
    }
    cpld_board with_chip_info(setup);
    setup.peers["chip_info"]["PFR_REV_ID2"] = {"u", 0xB0};
    cpld_board non_byte(setup);
    setup.peers.erase("chip_info");
    cpld_board without_chip_info(setup);
    for (cpld_board* b : {&with_chip_info, &non_byte, &without_chip_info})
    {
        ASSERT_TRUE(b->start({mb_object, bpn_object, bpn2_object}))
            << b->transcript();
    }
    EXPECT_EQ(with_chip_info.property(bpn2_object, "Version"), "1A02B0");
    EXPECT_EQ(non_byte.property(mb_object, "Version"), "1A0200");
    EXPECT_EQ(non_byte.count("Cannot get property value because "), 0U);
    EXPECT_EQ(without_chip_info.property(mb_object, "Version"), "000000");
    EXPECT_TRUE(without_chip_info.saw("Cannot get property value because ", 9));
}

TEST(Startup, ProductIdSelectsByItsLowSixteenBits)
{
    board_setup setup;
    setup.product_id = "0x1b6a\n";
    nlohmann::json repo = repository_for(setup.cplds, "0x11B6A");
    repo[0]["mb_cpld_repo"][0]["i2c_bus"] = 263; // bus 7
    setup.repository = repo.dump();
    cpld_board b(setup);
    ASSERT_TRUE(b.start()) << b.transcript();
    EXPECT_EQ(b.property(mb_object, "Version"), "0A1B2C3D");

    // Only the first six characters of the product id count: 0x0000.
    setup.product_id = "0x00001B6A\n";
    setup.repository.clear();
    cpld_board unknown_board(setup);
    ASSERT_TRUE(unknown_board.start({})) << unknown_board.transcript();
    EXPECT_TRUE(unknown_board.published());
    EXPECT_FALSE(has_object(unknown_board, mb_object));
}

TEST(Startup, UnusableRepositoryOrDeviceListStopsTheDaemon)
{
    board_setup setup;
    setup.repository = "[{\"mb_cpld_repo\": [";
    cpld_board not_json(setup);

    setup.repository = repository_for(setup.cplds).dump();
    setup.repository.replace(setup.repository.find("\"i2c_bus\""), 9,
                             "\"i2c_buz\"");
    cpld_board missing_key(setup);

    // Four CPLDs, more than the daemon serves.
    setup = three_cplds();
    cpld_device fourth = backplane_cpld();
    fourth.bus = 18;
    setup.cplds.push_back(fourth);
    cpld_board four(setup);

    // A name outside the known CPLDs, after one that was published.
    setup = three_cplds();
    setup.cplds[1].name = "bpncpld";
    cpld_board unknown_name(setup);

    for (cpld_board* b : {&not_json, &missing_key, &four, &unknown_name})
    {
        b->start();
        expect_refused_start(*b);
    }
    EXPECT_TRUE(unknown_name.saw("dev_id=1, usercode=0A1B2C3D"));
}

TEST(Startup, EndsWithAFailureWhenItLosesTheBus)
{
    cpld_board b;
    ASSERT_TRUE(b.start()) << b.transcript();
    b.sim.stop_bus();
    const auto status = b.daemon->wait_exit(simboard::scaled(1s));
    ASSERT_TRUE(status) << b.transcript();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1)
        << b.transcript();
    EXPECT_TRUE(b.saw("fwkeeper stopped: D-Bus connection lost: "))
        << b.transcript();
}

} // namespace
