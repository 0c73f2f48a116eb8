#pragma once

// One text line per transaction:
//   bus=7 addr=0x40 w=70000001... r=- result=ok
// "w" and "r" are the bytes as contiguous lower-case hex ("-" when none was
// transferred); "result" is "ok" or the errno name of the failure.

#include "simboard/i2c/model.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace simboard::i2c
{

std::string format_log_line(const transaction& t, int error);

// Appends one line to the log file; a board without a log file logs nothing.
void append_log(const shared_state& state, const transaction& t, int error);

} // namespace simboard::i2c

namespace simboard
{

struct i2c_log_entry
{
    unsigned bus = 0;
    uint8_t address = 0;
    std::vector<uint8_t> written;
    std::vector<uint8_t> read;
    std::string result; // "ok" or the errno name, e.g. "ENXIO"

    bool ok() const
    {
        return result == "ok";
    }
};

namespace i2c
{

std::optional<i2c_log_entry> parse_log_line(std::string_view line);

} // namespace i2c

} // namespace simboard
