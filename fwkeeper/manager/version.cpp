#include "fwkeeper/manager/version.hpp"

#include "fwkeeper/cpld/hex_text.hpp"

namespace fwkeeper
{

namespace
{

constexpr const char* blank_usercode = "00000000";

std::string revision_text(const revision_reader& read_revision)
{
    const std::uint8_t id1 = read_revision("PFR_REV_ID1");
    const std::uint8_t id2 = read_revision("PFR_REV_ID2");
    const std::uint8_t id3 = read_revision("PFR_REV_ID3");
    return cpld::hex_byte(id3) + cpld::hex_byte(id1) + cpld::hex_byte(id2);
}

} // namespace

std::string version_text(const std::string& usercode,
                         const revision_reader& read_revision)
{
    return cpld::upper(
        usercode == blank_usercode ? revision_text(read_revision) : usercode);
}

} // namespace fwkeeper
