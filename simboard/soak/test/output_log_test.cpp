#include "simboard/soak/output_log.hpp"

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace
{

using simboard::output_line;
using simboard::soak::output_log;

TEST(SoakOutputLog, ReturnsEachCompleteLineOnce)
{
    const auto path = std::filesystem::temp_directory_path() /
                      ("soak-log-" + std::to_string(getpid()));
    output_log log(path.string());
    EXPECT_TRUE(log.new_lines().empty()); // not there yet

    std::ofstream out(path);
    out << "O first\nE second\nO thi" << std::flush;
    auto lines = log.new_lines();
    ASSERT_EQ(lines.size(), 2U);
    EXPECT_EQ(lines[0].text, "first");
    EXPECT_EQ(lines[0].from, output_line::stream::out);
    EXPECT_EQ(lines[1].text, "second");
    EXPECT_EQ(lines[1].from, output_line::stream::err);

    out << "rd\n" << std::flush;
    lines = log.new_lines();
    ASSERT_EQ(lines.size(), 1U);
    EXPECT_EQ(lines[0].text, "third");
    EXPECT_TRUE(log.new_lines().empty());
    std::filesystem::remove(path);
}

} // namespace
