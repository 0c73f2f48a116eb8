// The scenario on a copy of the sample board on which one step cannot
// happen: it exits non-zero naming that step, without going on.
#include "simboard/fixture/board.hpp"

#include <sys/wait.h>

#include <cstdio>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::Not;

/** The sample board with its "from" files found where they are, and the
 *  records changed by `change`, written to a file of its own. */
class board_copy
{
  public:
    explicit board_copy(const std::function<void(nlohmann::json&)>& change)
    {
        std::string pattern = "/var/tmp/scenario-test-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
        {
            throw std::runtime_error("mkdtemp failed");
        }
        dir_ = pattern;
        fs::path sample = SIMBOARD_SAMPLE_BOARD;
        auto description = simboard::board::load(sample);
        for (auto& [path, entry] : description["files"].items())
        {
            if (entry.is_object() && entry.contains("from"))
            {
                entry["from"] =
                    (sample.parent_path() / entry["from"].get<std::string>())
                        .string();
            }
        }
        change(description);
        std::ofstream(file()) << description.dump(2);
    }
    board_copy(const board_copy&) = delete;
    board_copy& operator=(const board_copy&) = delete;
    ~board_copy()
    {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    fs::path file() const
    {
        return dir_ / "board.json";
    }

  private:
    fs::path dir_;
};

/** Exit status and output of the scenario on a board. */
std::pair<int, std::string> run_scenario(const fs::path& board)
{
    std::string command = std::string(SIMBOARD_SCENARIO_BIN) + " --board " +
                          board.string() + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
    {
        throw std::runtime_error("cannot run the scenario");
    }
    std::string output;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof(buffer), pipe))
    {
        output.append(buffer, n);
    }
    int status = pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(Scenario, NamesTheStepNotSeenAndStopsThere)
{
    // Drive 1's warning threshold lies above the heat the scenario applies,
    // so its alarm cannot rise.
    board_copy copy([](nlohmann::json& description) {
        auto& records = description["peers"]["entity_manager"]["objects"];
        records["/xyz/openbmc_project/inventory/system/board/Board_1/M2_1"]
               ["xyz.openbmc_project.Configuration.M2Sensor.Thresholds1"]
               ["Value"] = {"d", 90.0};
    });
    auto [status, output] = run_scenario(copy.file());
    EXPECT_EQ(status, 1) << output;
    EXPECT_THAT(output, HasSubstr("M2_Drive_1 Value = 75")) << output;
    EXPECT_THAT(output, HasSubstr("scenario FAILED: step \"drive 1 reaches "
                                  "WarningAlarmHigh\" not seen within"))
        << output;
    EXPECT_THAT(output, Not(HasSubstr("drive 1 cools"))) << output;
}

} // namespace
