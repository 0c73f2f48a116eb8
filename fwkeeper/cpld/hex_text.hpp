#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>

// Hexadecimal texts of usercodes and versions.
namespace cpld
{

inline std::string upper(std::string text)
{
    std::ranges::transform(text, text.begin(), [](unsigned char c) {
        return static_cast<char>(std::toupper(c));
    });
    return text;
}

// Two lower-case hexadecimal digits, with a leading zero.
inline std::string hex_byte(std::uint8_t byte)
{
    constexpr const char* digits = "0123456789abcdef";
    return {digits[byte >> 4], digits[byte & 0x0F]};
}

} // namespace cpld
