#include "fwkeeper/cpld/update.hpp"
#include "fwkeeper/manager/version.hpp"

#include <set>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

using testing::ElementsAre;
using testing::Optional;

// Answers revision reads from a fixed table and records their order.
struct revisions
{
    std::vector<std::string> asked;

    fwkeeper::revision_reader reader()
    {
        return [this](const char* name) -> std::uint8_t {
            asked.emplace_back(name);
            return std::string(name) == "PFR_REV_ID1"   ? 0x02
                   : std::string(name) == "PFR_REV_ID2" ? 0xB0
                                                        : 0x1A;
        };
    }
};

TEST(VersionText, IsTheUsercodeInUpperCase)
{
    revisions chip;
    EXPECT_EQ(fwkeeper::version_text("0a1b2c3d", chip.reader()), "0A1B2C3D");
    EXPECT_EQ(fwkeeper::version_text("34ab005f", chip.reader()), "34AB005F");
    // A device that never answered has no version, and no revision is read
    // for it; nor for a usercode that is not all zeros.
    EXPECT_EQ(fwkeeper::version_text("", chip.reader()), "");
    EXPECT_EQ(fwkeeper::version_text("0000000", chip.reader()), "0000000");
    EXPECT_EQ(fwkeeper::version_text("00000001", chip.reader()), "00000001");
    EXPECT_TRUE(chip.asked.empty());
}

TEST(VersionText, BlankUsercodeGivesTheChipRevisionsId3First)
{
    revisions chip;
    EXPECT_EQ(fwkeeper::version_text("00000000", chip.reader()), "1A02B0");
    EXPECT_THAT(chip.asked,
                ElementsAre("PFR_REV_ID1", "PFR_REV_ID2", "PFR_REV_ID3"));

    auto unreadable = [](const char*) -> std::uint8_t { return 0; };
    EXPECT_EQ(fwkeeper::version_text("00000000", unreadable), "000000");
}

TEST(StatusText, EveryOutcomeHasItsOwnText)
{
    using cpld::update_result;
    const std::vector<std::pair<update_result, std::string>> expected{
        {update_result::success, "Update Complete"},
        {update_result::same_image, "The Same CPLD Version, Bypass Update"},
        {update_result::enable_failed, "Enable Configuration Error"},
        {update_result::invalid_image, "Invalid Upload CPLD Firmware Error"},
        {update_result::erase_failed, "Erase Configuration Error"},
        {update_result::program_failed, "Program Firmware Error"},
        {update_result::verify_failed, "Verify Firmware Error"},
        {update_result::done_failed, "Set Program Done Error"},
        {update_result::usercode_failed, "Set Usercode Error"},
        {update_result::usercode_differs, "Verify Usercode Error"},
    };
    std::set<std::string_view> seen;
    for (const auto& [result, text] : expected)
    {
        EXPECT_EQ(cpld::status_text(result), text);
        seen.insert(cpld::status_text(result));
    }
    EXPECT_EQ(seen.size(), expected.size());
}

TEST(ImagePath, MainBoardHasItsOwnImageBackplanesShareOne)
{
    EXPECT_EQ(cpld::image_path("MBCPLD"), "/tmp/cpld/images/cpld_image.bin");
    EXPECT_EQ(cpld::image_path("BPNCPLD"),
              "/tmp/bpncpld/images/bpn_cpld_image.bin");
    EXPECT_EQ(cpld::image_path("BPNCPLD2"),
              "/tmp/bpncpld/images/bpn_cpld_image.bin");
}

cpld::jed_image with_usercode(const std::string& field)
{
    cpld::jed_image image;
    image.usercode = field;
    return image;
}

TEST(UsercodeCommand, CarriesTheHexDigitsTwoAByte)
{
    EXPECT_THAT(
        cpld::usercode_command(with_usercode("UH12345678")),
        Optional(ElementsAre(0xC2, 0x00, 0x00, 0x00, 0x12, 0x34, 0x56, 0x78)));
    EXPECT_THAT(
        cpld::usercode_command(with_usercode("UHabCDef01")),
        Optional(ElementsAre(0xC2, 0x00, 0x00, 0x00, 0xAB, 0xCD, 0xEF, 0x01)));
}

TEST(UsercodeCommand, RefusesDigitsThatAreNotHexadecimal)
{
    for (const char* field : {"U12345678", "UH1234567G", "UH12 45678",
                              "UH-1234567", "UH", "", "UB00010010"})
    {
        EXPECT_EQ(cpld::usercode_command(with_usercode(field)), std::nullopt)
            << field;
    }
}

} // namespace
