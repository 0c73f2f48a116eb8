#pragma once

#include "simboard/i2c/i2c_board.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace simboard::test
{

// Each test gets its own directory and board; the emulator linked into the
// test binary finds the board through SIMBOARD_I2C_STATE.
class board_test : public ::testing::Test
{
  protected:
    board_test();
    ~board_test() override;

    i2c_board& make_board(const nlohmann::json& i2c);

    std::filesystem::path dir;
    std::optional<i2c_board> board;
};

// An open "/dev/i2c-N" descriptor, closed on destruction.
class bus_fd
{
  public:
    explicit bus_fd(unsigned bus);
    ~bus_fd();
    bus_fd(const bus_fd&) = delete;
    bus_fd& operator=(const bus_fd&) = delete;

    int get() const
    {
        return fd_;
    }
    // One I2C_RDWR transaction; returns the ioctl result (-1 and errno on
    // failure) and the bytes read.
    std::pair<int, std::vector<uint8_t>> transfer(
        uint8_t address, const std::vector<uint8_t>& written,
        size_t read_length = 0) const;

  private:
    int fd_;
};

struct child_result
{
    int status = -1; // exit status, or -1 when it did not exit normally
    std::string output;
};

// Runs a program with extra environment variables, capturing its stdout.
child_result run_child(
    const std::vector<std::string>& argv,
    const std::vector<std::pair<std::string, std::string>>& environment);

} // namespace simboard::test
