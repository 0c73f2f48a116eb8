#pragma once

#include <cstdint>
#include <string>

namespace cpld
{

// One CPLD that the daemon manages.
struct cpld_dev_info
{
    std::string i2c_dev;      // "/dev/i2c-" + bus number
    std::uint8_t update_addr; // 7-bit address of the configuration port
    std::string device_name;  // "MBCPLD", "BPNCPLD", "BPNCPLD2", ...

    bool operator==(const cpld_dev_info&) const = default;
};

} // namespace cpld
