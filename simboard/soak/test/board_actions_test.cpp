#include "dbus/properties.hpp"
#include "simboard/soak/board_actions.hpp"

#include <variant>

#include <gtest/gtest.h>

namespace
{

using simboard::soak::board_actions;

constexpr const char* m2_interface =
    "xyz.openbmc_project.Configuration.M2Sensor";
constexpr std::array<const char*, 2> records{
    "/xyz/openbmc_project/inventory/system/board/Board_1/M2_1",
    "/xyz/openbmc_project/inventory/system/board/Board_1/M2_2"};

class SoakBoardActions : public testing::Test
{
  protected:
    bool record_present(const char* path)
    {
        try
        {
            dbus::get_property<std::string>(
                sim.client(), {"xyz.openbmc_project.EntityManager", path,
                               m2_interface, "Name"});
            return true;
        }
        catch (const dbus::error&)
        {
            return false;
        }
    }

    std::uint8_t presence(unsigned bus, std::uint8_t address, std::uint8_t reg)
    {
        return sim.i2c().read_register(bus, address, reg);
    }

    std::filesystem::path board_file = SIMBOARD_SAMPLE_BOARD;
    simboard::board sim{simboard::board::load(board_file),
                        board_file.parent_path()};
    std::mt19937 random{1};
    board_actions actions{sim, random};
};

TEST_F(SoakBoardActions, EveryActionReachesTheSampleBoard)
{
    // The presence registers and the drives' temperatures.
    const auto registers = [this] {
        return std::vector<std::uint8_t>{
            presence(20, 0x33, 16),
            presence(21, 0x37, 16),
            presence(21, 0x37, 17),
            presence(22, 0x3b, 16),
            presence(22, 0x3b, 17),
            sim.i2c().read_register(7, 0x6a, 1),
            sim.i2c().read_register(8, 0x6a, 1)};
    };
    const auto before = registers();
    for (int i = 0; i < 20; ++i)
    {
        actions.swing_temperature();
        actions.flip_presence();
        actions.flip_os_state();
        actions.change_record();
    }
    for (const auto& [name, count] : actions.counts())
    {
        EXPECT_EQ(count.done, 20U) << name;
        EXPECT_EQ(count.refused, 0U) << name;
    }
    const auto after = registers();
    EXPECT_NE(after, before);
    // Only bays that exist: bits 2 to 7 of register 17 of the 10-bay
    // backplane and bits 4 to 7 of that of the 12-bay one stay as they were.
    EXPECT_EQ(presence(21, 0x37, 17) & 0xfc, 0x00);
    EXPECT_EQ(presence(22, 0x3b, 17) & 0xf0, 0x00);
}

TEST_F(SoakBoardActions, RecordsVanishUntilThePeersComeBack)
{
    for (int i = 0; i < 20; ++i)
    {
        actions.remove_record();
    }
    EXPECT_FALSE(record_present(records[0]));
    EXPECT_FALSE(record_present(records[1]));
    EXPECT_EQ(actions.counts().at("records vanishing").refused, 0U);
    actions.change_record(); // none is there to change
    EXPECT_FALSE(actions.counts().contains("record changes"));

    actions.stop_peers();
    EXPECT_TRUE(actions.peers_away());
    actions.flip_os_state();
    EXPECT_EQ(actions.counts().at("OS state flips").refused, 1U);

    actions.restore_peers();
    EXPECT_FALSE(actions.peers_away());
    EXPECT_TRUE(record_present(records[0]));
    EXPECT_TRUE(record_present(records[1]));
    actions.remove_record();
    EXPECT_EQ(actions.counts().at("records vanishing").refused, 0U);
}

} // namespace
