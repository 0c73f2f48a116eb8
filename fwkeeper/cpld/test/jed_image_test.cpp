#include "fwkeeper/cpld/jed_image.hpp"
#include "simboard/jedec/jedec_file.hpp"

#include <unistd.h>

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace cpld
{
namespace
{

namespace jedec = simboard::jedec;
using testing::ElementsAre;

jedec::image small_image()
{
    return {"LCMXO3LF-2100C-5BG256C", jedec::random_rows(3, 1),
            jedec::random_rows(2, 2), "UH12ab005f"};
}

int parse(jed_image& image, const std::string& text)
{
    return parse_jed_text(image, text);
}

int parse(const std::string& text)
{
    jed_image image;
    return parse_jed_text(image, text);
}

// Index of the first field starting with `prefix`.
std::size_t field_index(const std::vector<std::string>& fields,
                        std::string_view prefix)
{
    for (std::size_t i = 0; i < fields.size(); ++i)
    {
        if (fields[i].starts_with(prefix))
        {
            return i;
        }
    }
    throw std::logic_error("no such field");
}

TEST(JedImage, StoresFieldsBySlot)
{
    jed_image image;
    auto img = small_image();
    ASSERT_EQ(parse(image, jedec::jed_text(img)), 0);
    EXPECT_EQ(image.qf, "QF640");
    EXPECT_EQ(image.fuse_default, "F0");
    EXPECT_EQ(image.usercode, "UH12ab005f");
    EXPECT_TRUE(image.feature_row.starts_with("E0000"));
    EXPECT_TRUE(image.fuse_checksum.starts_with("C"));
    EXPECT_EQ(image.fuse_rows[0], jedec::fuse_field(0, img.config_rows));
    EXPECT_EQ(image.fuse_rows[1], jedec::fuse_field(384, img.ufm_rows));
    EXPECT_EQ(image.fuse_rows[2], "");
    // Notes land in the slot of the next "L" field, the last one winning.
    EXPECT_THAT(image.notes,
                ElementsAre("NOTE DEVICE NAME:\tLCMXO3LF-2100C-"
                            "5BG256C",
                            "NOTE TAG DATA", "NOTE Feature_Row", ""));
    EXPECT_EQ(image.page_limit, 0);
}

TEST(JedImage, TransmissionChecksum)
{
    std::string text = jedec::jed_text(small_image());
    EXPECT_EQ(parse(text + "\r\n"), 0);
    std::string flipped = text;
    auto fuse = flipped.find("L000000\r\n") + 9;
    flipped[fuse] = flipped[fuse] == '0' ? '1' : '0';
    EXPECT_EQ(parse(flipped), 1);
    EXPECT_EQ(parse(jedec::jed_text(small_image(), {.checksum_offset = 1})), 1);
    EXPECT_EQ(parse(text.substr(0, text.size() - 4)), 1); // no digits: 0
    EXPECT_EQ(parse(text.substr(0, text.find('\x03'))), -1);
    EXPECT_EQ(parse("no STX\x03"), -1);
}

TEST(JedImage, ReadsFileAndReportsMissingOne)
{
    std::string path = std::filesystem::temp_directory_path() /
                       ("jed-" + std::to_string(getpid()) + ".jed");
    jedec::write_file(path, jedec::jed_text(small_image()));
    jed_image image;
    EXPECT_EQ(parse_jed(image, path), 0);
    EXPECT_EQ(image.usercode, "UH12ab005f");
    std::filesystem::remove(path);
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_jed(image, path), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "open " + path + " failed\n");
}

// Larger than any part of the table can need: refused before it is read,
// and a file that grows while being read stops at the limit.
TEST(JedImage, RefusesFilesLargerThanAnyPartNeeds)
{
    const auto* largest = jedec::find_part_size("LCMXO3LF-9400C");
    jed_image image;
    EXPECT_EQ(parse(image, jedec::jed_text(
                               jedec::random_image(*largest, "12345678", 1))),
              0);
    EXPECT_EQ(image.device_name, "LCMXO3LF-9400C");

    std::string path = std::filesystem::temp_directory_path() /
                       ("jed-big-" + std::to_string(getpid()) + ".jed");
    jedec::write_file(path, jedec::jed_text(small_image()));
    std::filesystem::resize_file(path, max_image_size + 1);
    const std::string refused =
        " is larger than " + std::to_string(max_image_size) +
        " bytes, not an image\n";
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_jed(image, path), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), path + refused);
    // Past what 32 bits count (a sparse file: no disk used).
    std::filesystem::resize_file(path, (std::uintmax_t{1} << 32) + 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_jed(image, path), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), path + refused);
    std::filesystem::remove(path);

    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_jed(image, "/dev/zero"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "/dev/zero" + refused);
}

TEST(JedImage, FuseDefaultRestartsSlots)
{
    auto fields = jedec::fields(small_image());
    auto rows = jedec::random_rows(1, 9);
    fields.insert(fields.begin() + field_index(fields, "NOTE User"),
                  {"F1", "NOTE again", jedec::fuse_field(0, rows)});
    jed_image image;
    ASSERT_EQ(parse(image, jedec::jed_text(fields)), 0);
    EXPECT_EQ(image.fuse_default, "F1");
    EXPECT_EQ(image.fuse_rows[0], jedec::fuse_field(0, rows));
    EXPECT_EQ(image.notes[0], "NOTE again");
}

TEST(JedImage, AcceptsLastRowWithoutLineEndAndFourFuseFields)
{
    EXPECT_EQ(parse(jedec::jed_text(small_image(),
                                    {.line_end_after_last_row = false})),
              0);
    auto fields = jedec::fields(small_image());
    auto rows = jedec::random_rows(1, 3);
    fields.insert(fields.begin() + field_index(fields, "NOTE User"),
                  {jedec::fuse_field(1000, rows),
                   jedec::fuse_field(2000, rows)});
    fields.erase(fields.begin() + field_index(fields, "NOTE User"));
    fields.erase(fields.begin() + field_index(fields, "NOTE Feature"));
    jed_image image;
    ASSERT_EQ(parse(image, jedec::jed_text(fields)), 0);
    EXPECT_EQ(image.fuse_rows[3], jedec::fuse_field(2000, rows));
}

TEST(JedImage, RejectsLayoutsWithoutRoom)
{
    const auto img = small_image();
    const std::string row = img.config_rows[0];
    auto with_config_rows = [&](std::vector<std::string> rows) {
        auto changed = img;
        changed.config_rows = std::move(rows);
        return jedec::jed_text(changed);
    };
    auto inserted = [&](std::vector<std::string> extra) {
        auto fields = jedec::fields(img);
        fields.insert(fields.begin() + field_index(fields, "NOTE User"),
                      extra.begin(), extra.end());
        return jedec::jed_text(fields);
    };
    auto replaced = [&](std::string_view prefix, std::string field) {
        auto fields = jedec::fields(img);
        fields[field_index(fields, prefix)] = std::move(field);
        return jedec::jed_text(fields);
    };
    const auto one_row = jedec::fuse_field(0, {row});
    std::string glued = jedec::jed_text(img);
    glued.erase(glued.find("\r\nQF"), 2);
    const std::vector<std::pair<std::string, std::string>> cases{
        {"LF line ends", jedec::jed_text(img, {.line_end = "\n"})},
        {"short row", with_config_rows({row.substr(1), row})},
        {"long row", with_config_rows({row + "0", row})},
        {"short last row", with_config_rows({row, row.substr(1)})},
        {"non-fuse character", with_config_rows({row.substr(1) + "2"})},
        {"row ends in LF", replaced("L000000", "L000000\r\n" + row + "\n")},
        {"row ends in CR", replaced("L000000", "L000000\r\n" + row + "\r")},
        {"rows on the address line", replaced("L000000", "L000000 " + row)},
        {"no fuse address", replaced("L000000", "L\r\n" + row)},
        {"no rows", replaced("L000000", "L000000\r\n")},
        {"no fuse rows", jedec::jed_text(jedec::image{})},
        {"fifth fuse field", inserted({one_row, one_row, one_row})},
        {"note after fourth fuse field", inserted({one_row, one_row})},
        {"field not after CR LF", glued},
    };
    for (const auto& [what, text] : cases)
    {
        EXPECT_EQ(parse(text), -1) << what;
    }
    // A bad layout is rejected whatever the checksum says.
    EXPECT_EQ(
        parse(jedec::jed_text(img, {.line_end = "\n", .checksum_offset = 7})),
        -1);
}

TEST(JedImage, NextPagePacksRowsMostSignificantFuseFirst)
{
    std::string row1 = "10000001"
                       "01111111" +
                       std::string(104, '0') + "00000011";
    std::string row2(128, '1');
    jed_image image;
    image.fuse_rows[1] = jedec::fuse_field(0, {row1, row2});
    std::vector<std::uint8_t> bytes;
    int pos = image.next_page(1, 0, bytes);
    EXPECT_EQ(pos, 9 + 130);
    EXPECT_THAT(bytes, ElementsAre(0x81, 0x7F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                   0, 0, 0x03));
    EXPECT_EQ(image.next_page(1, pos, bytes), -1);
    EXPECT_EQ(bytes.size(), 32);
    EXPECT_EQ(bytes.back(), 0xFF);

    // Without CR LF after the last row, the last row still reads.
    image.fuse_rows[1] =
        jedec::fuse_field(0, {row1, row2}, {.line_end_after_last_row = false});
    bytes.clear();
    EXPECT_EQ(image.next_page(1, image.next_page(1, 0, bytes), bytes), -1);
    EXPECT_EQ(bytes.size(), 32);

    // No row there: nothing appended.
    bytes.clear();
    EXPECT_EQ(image.next_page(4, 0, bytes), -1);
    EXPECT_EQ(image.next_page(2, 0, bytes), -1);
    EXPECT_EQ(image.next_page(1, 100000, bytes), -1);
    EXPECT_EQ(image.next_page(1, 5, bytes), -1);
    image.fuse_rows[1] = "L0\r\n0101";
    EXPECT_EQ(image.next_page(1, 0, bytes), -1);
    EXPECT_TRUE(bytes.empty());
}

TEST(JedImage, Usercode)
{
    jed_image image;
    std::string digits = "unchanged";
    for (const char* bad : {"U12345678", "UH", "UH1234567g", "UH123456789",
                            "UB0101", "", "UH12 34"})
    {
        image.usercode = bad;
        EXPECT_EQ(image.get_usercode(digits), -1) << bad;
    }
    EXPECT_EQ(digits, "unchanged");
    image.usercode = "UH00000000";
    EXPECT_EQ(image.get_usercode(digits), 0);
    EXPECT_EQ(digits, "00000000");
    image.usercode = "UH12ab005F";
    EXPECT_EQ(image.get_usercode(digits), 0);
    EXPECT_EQ(digits, "12ab005F");
    EXPECT_THAT(usercode_bytes(digits), ElementsAre(0x12, 0xAB, 0x00, 0x5F));
    EXPECT_THAT(usercode_bytes("abc"), ElementsAre(0xAB, 0x0C));
}

TEST(JedImage, DeviceNameAndPartTable)
{
    EXPECT_EQ(jed_device_name("x*\r\nNOTE DEVICE NAME:\tLCMXO2-1200HC-4TG100*"),
              "LCMXO2-1200HC");
    EXPECT_EQ(jed_device_name(jedec::jed_text(small_image())),
              "LCMXO3LF-2100C");
    EXPECT_EQ(jed_device_name("NOTE DEVICE NAME: LCMXO3D-9400HC-5BG256C"),
              "LCMXO3D-9400HC");
    EXPECT_EQ(jed_device_name("NOTE DEVICE NAME: LCMXO-256*C"), "");
    EXPECT_EQ(jed_device_name("NOTE DEVICE NAME: xyz*"), "");
    EXPECT_EQ(jed_device_name("NOTE DESIGN NAME: LCMXO2-1200HC*"), "");

    ASSERT_NE(find_machxo_part("LCMXO2-1200HC"), nullptr);
    EXPECT_EQ(find_machxo_part("LCMXO2-1200HC")->id_code, 0x612BA043);
    EXPECT_EQ(find_machxo_part("LCMXO3LF-9400C")->page_limit, 12544);
    EXPECT_EQ(find_machxo_part("lcmxo2-1200hc"), nullptr);
    EXPECT_EQ(find_machxo_part(""), nullptr);
}

// The simulated board's images of every part fit the device table.
TEST(JedImage, GeneratedImagesFitTheirParts)
{
    for (const machxo_part& part : machxo_parts)
    {
        const auto* size = jedec::find_part_size(part.name);
        ASSERT_NE(size, nullptr) << part.name;
        std::string text = jedec::jed_text(jedec::random_image(*size, "1", 7));
        EXPECT_EQ(jed_device_name(text), part.name);
        jed_image image;
        ASSERT_EQ(parse(image, text), 0) << part.name;
        EXPECT_EQ(image.fuse_rows[0].size(), 9 + 130 * size->config_rows);
        EXPECT_GE(size->config_rows,
                  part.page_limit == no_ufm_boundary ? 1 : part.page_limit);
    }
}

} // namespace
} // namespace cpld
