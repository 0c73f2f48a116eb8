#include "fwkeeper/manager/version.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace fwkeeper
{

namespace
{

constexpr const char* blank_usercode = "00000000";

std::string two_digits(std::uint8_t byte)
{
    char digits[3];
    std::snprintf(digits, sizeof(digits), "%02x", byte);
    return digits;
}

std::string revision_text(const revision_reader& read_revision)
{
    const std::uint8_t id1 = read_revision("PFR_REV_ID1");
    const std::uint8_t id2 = read_revision("PFR_REV_ID2");
    const std::uint8_t id3 = read_revision("PFR_REV_ID3");
    return two_digits(id3) + two_digits(id1) + two_digits(id2);
}

} // namespace

std::string version_text(const std::string& usercode,
                         const revision_reader& read_revision)
{
    std::string text =
        usercode == blank_usercode ? revision_text(read_revision) : usercode;
    std::ranges::transform(text, text.begin(), [](unsigned char c) {
        return static_cast<char>(std::toupper(c));
    });
    return text;
}

} // namespace fwkeeper
