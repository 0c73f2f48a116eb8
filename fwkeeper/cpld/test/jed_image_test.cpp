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
    jedec::image img;
    img.config_rows = jedec::random_rows(3, 1);
    img.ufm_rows = jedec::random_rows(2, 2);
    img.usercode = "UH12ab005f";
    return img;
}

std::string why;

int parse(jed_image& image, const std::string& text)
{
    return parse_jed_text(image, text, why);
}

int parse(const std::string& text)
{
    jed_image image;
    return parse_jed_text(image, text, why);
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
    EXPECT_EQ(image.fuse_rows[1], jedec::fuse_field(384, img.ufm_rows, {}, 1));
    EXPECT_EQ(image.fuse_rows[2], "");
    // Notes land in the slot of the next "L" field, the last one winning.
    EXPECT_THAT(image.notes,
                ElementsAre("NOTE PINS clk_x1 : C8 : in", "NOTE TAG DATA",
                            "NOTE User Electronic Signature Data", ""));
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
    const auto sums = transmission_checksums(text);
    ASSERT_TRUE(sums);
    char expected[128];
    std::snprintf(expected, sizeof(expected),
                  "transmission checksum of the image differs: the file "
                  "states %04X, its bytes sum to %04X",
                  (sums->computed + 1) & 0xFFFF, sums->computed);
    EXPECT_EQ(why, expected);
    EXPECT_EQ(parse(text.substr(0, text.find('\x03') + 1)), 1); // no digits
    EXPECT_EQ(parse(text.substr(0, text.find('\x03'))), -1);
    EXPECT_THAT(why, testing::EndsWith("the file ends before its ETX"));
    EXPECT_EQ(parse("no STX\x03"), -1);
    EXPECT_EQ(why, "malformed image: no STX, not a JEDEC file");
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

// The MachXO3D layout: four "L" fields, notes after the fourth, no "E".
TEST(JedImage, AcceptsFourFuseFieldsWithNotesAfterThemAndLastRowWithoutCrLf)
{
    EXPECT_EQ(parse(jedec::jed_text(small_image(),
                                    {.line_end_after_last_row = false})),
              0);
    const auto* size = jedec::find_part_size("LCMXO3D-9400HC");
    const auto img = jedec::random_image(*size, "12345678", 3, 40);
    jed_image image;
    ASSERT_EQ(parse(image, jedec::jed_text(img)), 0) << why;
    EXPECT_EQ(row_count(image, 3), size->user_pages);
    EXPECT_EQ(image.feature_row, "");
    EXPECT_EQ(image.usercode, "UH12345678");
    EXPECT_EQ(user_flash_slot(image), 3);
    EXPECT_TRUE(image_usable(image, why)) << why;
}

TEST(JedImage, RejectsLayoutsWithoutRoomAndSaysWhere)
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
        fields.insert(fields.begin() + field_index(fields, "C"), extra.begin(),
                      extra.end());
        return jedec::jed_text(fields);
    };
    auto replaced = [&](std::string_view prefix, std::string field) {
        auto fields = jedec::fields(img);
        fields[field_index(fields, prefix)] = std::move(field);
        return jedec::jed_text(fields);
    };
    auto row_at = [&](std::size_t fuse) {
        return jedec::fuse_field(fuse, {row}, {}, 1);
    };
    std::string glued = jedec::jed_text(img);
    glued.erase(glued.find("\r\nQF"), 2);
    const std::string bad_row = "a fuse row that is not 128 fuse characters";
    // Header lines 1 to 15, the first "L" field on line 16.
    const std::vector<std::pair<std::string, std::string>> cases{
        {jedec::jed_text(img, {.line_end = "\n"}),
         "line 1 of the image ends in LF alone"},
        {with_config_rows({row.substr(1), row}), "line 17: " + bad_row},
        {with_config_rows({row + "0", row}), "line 17: " + bad_row},
        {with_config_rows({row, row.substr(1)}), "line 18: " + bad_row},
        {with_config_rows({row.substr(1) + "2"}), bad_row},
        {replaced("L000000", "L000000\r\n" + row + "\n"),
         "line 17 of the image ends in LF alone"},
        {replaced("L000000", "L000000\r\n" + row + "\r"), bad_row},
        {replaced("L000000", "L000000 " + row), "without a fuse address"},
        {replaced("L000000", "L\r\n" + row), "without a fuse address"},
        {replaced("L000000", "L000000\r\n"), "L field without fuse rows"},
        {jedec::jed_text(jedec::image{}), "no configuration rows"},
        {inserted({row_at(640), row_at(768), row_at(896)}), "a fifth L field"},
        {inserted({row_at(641)}),
         "L field at fuse 641, the rows before it end at fuse 640"},
        {glued, "line 12: a field that does not start on a new line"},
    };
    for (const auto& [text, reason] : cases)
    {
        EXPECT_EQ(parse(text), -1) << reason;
        EXPECT_THAT(why, testing::HasSubstr(reason));
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

// Diamond's layout for every part of the table, with and without EBR
// initialisation rows: the update programs every configuration row through
// the last one with data and compares up to the page limit.
TEST(JedImage, PlansEveryPartsDiamondLayout)
{
    for (const machxo_part& part : machxo_parts)
    {
        const auto* size = jedec::find_part_size(part.name);
        ASSERT_NE(size, nullptr) << part.name;
        for (std::size_t ebr : {0, 50})
        {
            auto img = jedec::random_image(*size, "1", 7, ebr);
            jed_image image;
            ASSERT_EQ(parse(image, jedec::jed_text(img)), 0) << part.name;
            EXPECT_EQ(image.device_name, part.name);
            EXPECT_TRUE(image_usable(image, why)) << why;
            const page_plan plan = plan_pages(image, part.page_limit);
            EXPECT_EQ(plan.program_pages, jedec::flash_rows(img).size());
            EXPECT_EQ(plan.compare_pages,
                      part.page_limit == no_ufm_boundary ? plan.program_pages
                                                         : part.page_limit);
        }
    }
}

TEST(JedImage, RefusesImagesNoUpdateCanUseOrVerify)
{
    auto refusal = [](const jedec::image& img) {
        jed_image image;
        EXPECT_EQ(parse(image, jedec::jed_text(img)), 0) << why;
        EXPECT_FALSE(image_usable(image, why));
        return why;
    };
    auto img = small_image();
    img.device = "LCMXO2-7000HC-4TG144C";
    EXPECT_EQ(refusal(img), "device name \"LCMXO2-7000HC\" of the image is "
                            "not a MachXO part of the device table");
    img.device = "";
    EXPECT_THAT(refusal(img), testing::HasSubstr("names no MachXO part"));
    // Rows short of the LCMXO3LF-2100C page limit, user flash after them.
    img = small_image();
    EXPECT_EQ(refusal(img), "fw has 3 configuration rows, fewer than the "
                            "3200 configuration pages of the device");
    img.config_rows.assign(3, std::string(128, '0'));
    img.device = "LCMXO2-1200HC-4TG100C";
    EXPECT_EQ(refusal(img),
              "fw has no configuration row that is not all zeros");
}

} // namespace
} // namespace cpld
