// The control side: board descriptions, the shared state file, the CLI.

#include "support.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

namespace simboard::test
{
namespace
{

using ::testing::Each;
using ::testing::HasSubstr;
using json = nlohmann::json;

const json sample_board = {
    {"buses", {{{"bus", 3}}, {{"bus", 9}, {"present", false}}}},
    {"devices",
     {{{"bus", 3},
       {"address", "0x4c"},
       {"kind", "register"},
       {"registers", {{"4", "0x04"}, {"0x05", 0x13}}}},
      {{"bus", 3},
       {"address", 64},
       {"kind", "machxo"},
       {"idcode", "0x612BB043"},
       {"config_pages", 12544},
       {"user_pages", 2048}}}}};

class Board : public board_test
{};

TEST_F(Board, DescriptionSetsUpDevices)
{
    make_board(sample_board);
    EXPECT_EQ(board->read_register(3, 0x4c, 4), 0x04);
    EXPECT_EQ(board->read_register(3, 0x4c, 5), 0x13);
    EXPECT_EQ(board->read_register(3, 0x4c, 6), 0x00);
    machxo_info m = board->machxo(3, 0x40);
    EXPECT_EQ(m.idcode, 0x612BB043U);
    EXPECT_EQ(m.usercode, 0U);
    EXPECT_EQ(m.config_pages, 12544U);
    EXPECT_EQ(m.user_pages, 2048U);
    EXPECT_FALSE(m.done || m.config_mode || m.busy || m.fail);
    EXPECT_THAT(board->read_flash_page(3, 0x40, 12544 + 2047), Each(0));
    EXPECT_THROW(board->read_flash_page(3, 0x40, 12544 + 2048),
                 std::out_of_range);
    EXPECT_EQ(board->log_path(), board->state_path().string() + ".log");
    EXPECT_THAT(board->summary(), HasSubstr("bus 9 dropped"));
}

TEST_F(Board, RejectsMalformedDescriptions)
{
    auto with = [](const std::string& pointer, const json& value) {
        json description = sample_board;
        description[json::json_pointer(pointer)] = value;
        return description;
    };
    json without_device = sample_board;
    without_device["devices"][1].erase("idcode");
    const std::vector<json> malformed{
        json::array(),
        with("/extra", 1),
        with("/buses/1/bus", 3),
        with("/buses/0/speed", 100),
        with("/devices/0/bus", 4),
        with("/devices/0/address", "0x80"),
        with("/devices/0/address", -1),
        with("/devices/0/address", "0x4g"),
        with("/devices/0/address", 1.5),
        with("/devices/0/kind", "eeprom"),
        with("/devices/0/driver_bound", 1),
        with("/devices/0/registers/0x100", 1),
        with("/devices/0/registers/0x10", 256),
        with("/devices/1/address", "0x4c"),
        with("/devices/1/config_pages", 0x10001),
        with("/devices/1/user_pages", 0x10000 - 12543),
        without_device,
    };
    for (const json& i2c : malformed)
    {
        EXPECT_THROW(make_board(i2c), std::invalid_argument) << i2c.dump();
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "state"));
}

TEST_F(Board, DevicesAreCheckedByKind)
{
    make_board(sample_board);
    EXPECT_THROW(board->read_register(3, 0x40, 0), std::invalid_argument);
    EXPECT_THROW(board->stay_busy(3, 0x4c, 1), std::invalid_argument);
    EXPECT_THROW(board->write_register(3, 0x4d, 0, 0), std::out_of_range);
    EXPECT_THROW(board->set_bus_present(4, true), std::out_of_range);
    board->set_silent(3, 0x4c, true); // any kind can stop answering
}

TEST_F(Board, OpenSharesTheCreatorsState)
{
    make_board(sample_board);
    i2c_board second = i2c_board::open(board->state_path());
    second.write_register(3, 0x4c, 0x10, 0x42);
    EXPECT_EQ(board->read_register(3, 0x4c, 0x10), 0x42);

    EXPECT_THROW(i2c_board::open(dir / "missing"), std::system_error);
    std::ofstream(dir / "garbage") << std::string(100000, 'x');
    EXPECT_THROW(i2c_board::open(dir / "garbage"), std::system_error);
}

TEST_F(Board, LockOfADeadProcessIsRecovered)
{
    make_board(sample_board);
    pid_t pid = fork();
    if (pid == 0)
    {
        // Take the lock and die holding it.
        i2c::state_mapping mapping;
        i2c::state_mapping::map(board->state_path().c_str(), mapping);
        i2c::state_lock lock(*mapping.get());
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(board->read_register(3, 0x4c, 4), 0x04);
}

TEST_F(Board, CommandLine)
{
    make_board(sample_board);
    std::vector<std::pair<std::string, std::string>> environment{
        {"SIMBOARD_I2C_STATE", board->state_path().string()}};
    auto cli = [&](std::vector<std::string> args) {
        args.insert(args.begin(), SIMBOARD_I2C_CLI);
        return run_child(args, environment);
    };
    EXPECT_EQ(cli({"set-reg", "3", "0x4c", "0x10", "66"}).status, 0);
    EXPECT_EQ(board->read_register(3, 0x4c, 0x10), 66);

    EXPECT_EQ(cli({"fault", "3", "0x40", "fail"}).status, 0);
    EXPECT_EQ(
        cli({"fault", "3", "0x40", "nack-command", "0x70", "1600"}).status, 0);
    std::string shown = cli({"show"}).output;
    EXPECT_THAT(shown, HasSubstr("bus 3 present"));
    EXPECT_THAT(shown, HasSubstr("0x4c register"));
    EXPECT_THAT(shown, HasSubstr("nack-command=0x70#1600 fail"));
    EXPECT_TRUE(board->machxo(3, 0x40).fail);
    EXPECT_EQ(cli({"clear", "3", "0x40"}).status, 0);
    EXPECT_FALSE(board->machxo(3, 0x40).fail);

    EXPECT_EQ(cli({"drop-bus", "3"}).status, 0);
    EXPECT_THAT(board->summary(), HasSubstr("bus 3 dropped"));
    EXPECT_EQ(cli({"restore-bus", "3"}).status, 0);

    EXPECT_EQ(cli({"fault", "3", "0x4c", "busy", "2"}).status, 1);
    EXPECT_EQ(cli({"set-reg", "3"}).status, 2);
    EXPECT_EQ(cli({"frobnicate"}).status, 2);
    EXPECT_EQ(run_child({SIMBOARD_I2C_CLI, "--state",
                         board->state_path().string(), "show"},
                        {})
                  .status,
              0);
}

} // namespace
} // namespace simboard::test
