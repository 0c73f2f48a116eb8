#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cpld
{

// A parsed Lattice JEDEC fuse file. Every text is the whole field as
// written, identifier letter included, without its "*" and without the
// CR LF in front of it.
struct jed_image
{
    std::string qf;
    std::string fuse_default;
    // Notes and fuse rows by slot: the slot of an "L" field is its position
    // among the "L" fields after the last "F" field. A note lands in the
    // slot of the next "L" field, the last one winning, so notes[k] is the
    // note that introduces fuse_rows[k]; notes after the fourth are
    // dropped.
    std::vector<std::string> notes = std::vector<std::string>(4);
    std::vector<std::string> fuse_rows = std::vector<std::string>(4);
    std::string fuse_checksum;
    std::string feature_row;
    std::string usercode;
    // Part name of the "NOTE DEVICE NAME:" field (jed_device_name), taken
    // from the same text as everything else, so that the device check and
    // the programming can never see two different files.
    std::string device_name;

    // Appends the 16 bytes of the row at `pos` of fuse_rows[section] (first
    // fuse character = most significant bit) and returns the position of the
    // next row, or -1 when there is none. Position 0 is the section's first
    // row. Returns -1 without appending when there is no row at `pos`.
    int next_page(unsigned section, int pos,
                  std::vector<std::uint8_t>& page) const;

    // 0 and the usercode digits when the "U" field is "UH" followed by one
    // to eight hexadecimal digits; -1 otherwise (decimal or binary form).
    int get_usercode(std::string& digits) const;
};

// The rows of all "L" fields in file order, page 0 first: the fields are
// contiguous, each starting at the fuse after the rows before it.
struct page_cursor
{
    // Where the next row is.
    unsigned slot = 0;
    int pos = 0;

    // Appends the 16 bytes of the next row; false, appending nothing, when
    // the walk has reached an empty slot or passed the last one.
    bool next(const jed_image& image, std::vector<std::uint8_t>& page);
};

// Rows of the "L" field in a slot.
std::uint32_t row_count(const jed_image& image, unsigned slot);

// The slot of the first "L" field of user flash rows, the first one a
// "TAG DATA" or "USER MEMORY DATA" note introduces; the slot count when
// there is none.
unsigned user_flash_slot(const jed_image& image);

// What an update of a part with page limit `page_limit` does with an
// image.
struct page_plan
{
    // The configuration data: every row before the user flash and before
    // the page limit, EBR initialisation rows and end-of-configuration rows
    // included.
    std::uint32_t config_rows = 0;
    // Programmed in step 5: from page 0 through the last configuration row
    // that is not all zeros.
    std::uint32_t program_pages = 0;
    // Compared in steps 3 and 6: the programmed pages, and for a part with
    // a page limit every page below it.
    std::uint32_t compare_pages = 0;
};

page_plan plan_pages(const jed_image& image, std::uint32_t page_limit);

// Reads a JEDEC file into memory once and parses that copy: 0 the file is
// good and its transmission checksum matches, 1 the checksum differs, -1
// the file cannot be read, is larger than max_image_size, or has a layout
// the image has no room for (see parse_jed_text). Prints why on standard
// error when it does not return 0. An update must not touch the device
// after -1 or 1.
int parse_jed(jed_image& image, const std::string& path);

// The whole file in `text`; false, with the line that says why, when it
// cannot be read or is too large to be an image.
bool read_jed_file(const std::string& path, std::string& text,
                   std::string& why);

// parse_jed on the text of a file; `why` holds the line that says why it
// returns -1 or 1. -1 for: no STX ... ETX, line ends that are LF alone, no
// configuration rows, or a layout the image has no room for: fuse rows
// other than 128 fuse characters each followed by CR LF (may be left out
// after the last row), a field not after the CR LF that follows the
// previous "*", a field without its "*", "L" fields that are not
// contiguous, more than 65535 rows in all, or a fifth "L" field.
int parse_jed_text(jed_image& image, std::string text, std::string& why);

// The transmission checksum of a file: the value its digits after the ETX
// state and the 16-bit sum of its bytes from STX through ETX.
struct transmission_checksum
{
    std::uint16_t stated = 0;
    std::uint16_t computed = 0;
};

// Nothing when the text has no STX ... ETX.
std::optional<transmission_checksum> transmission_checksums(
    std::string_view text);

// The part name of the "NOTE DEVICE NAME:" field, e.g. "LCMXO2-1200HC" for
// "LCMXO2-1200HC-4TG100"; empty when there is none.
std::string jed_device_name(std::string_view text);

// Bytes of usercode digits as get_usercode gives them: two digits a byte
// from the left, an odd last digit a byte by itself.
std::vector<std::uint8_t> usercode_bytes(std::string_view digits);

struct machxo_part
{
    std::string_view name;
    std::uint32_t id_code;
    // First page of the user flash: the configuration pages an image
    // comparison covers. no_ufm_boundary where the boundary is unknown.
    std::uint32_t page_limit;
};

inline constexpr std::uint32_t no_ufm_boundary = 0xFFFF;

// Rows in search order; a name selects the first row equal to it.
inline constexpr std::array<machxo_part, 9> machxo_parts{{
    {"LCMXO3LF-2100C", 0x612BB043, 3200},
    {"LCMXO2-1200HC", 0x612BA043, no_ufm_boundary},
    {"LCMXO3LF-4300C", 0x612BC043, 5760},
    {"LCMXO3LF-6900C", 0x612BD043, 9216},
    {"LCMXO3LF-9400C", 0x612BE043, 12544},
    {"LCMXO3D-9400HC", 0x212E3043, no_ufm_boundary},
    {"LCMXO2-640HC", 0x012B9043, no_ufm_boundary},
    {"LCMXO2-2000HC", 0x012BB043, no_ufm_boundary},
    {"LCMXO2-4000HC", 0x012BC043, no_ufm_boundary},
}};

// The largest image the reader takes. Every flash page is one fuse row in
// the file: "0"/"1" characters for its 128 bits, then CR LF. The
// largest page count in the table (0xFFFF for the parts whose user flash
// boundary is unknown, which is also all the 16-bit page address of the
// configuration port reaches) bounds the rows of every "L" field together,
// so an image needs at most
//     largest page count x (128 + 2) bytes
// plus a margin for the header, the notes, the fuse address lines, the
// usercode, feature row and checksum fields: 64 KiB. In all 8585086
// bytes, about 8.2 MiB.
inline constexpr std::size_t fuse_row_text = 128 + 2;
inline constexpr std::size_t image_header_margin = 64 * 1024;
inline constexpr std::size_t max_image_size =
    std::ranges::max(machxo_parts, {}, &machxo_part::page_limit).page_limit *
        fuse_row_text +
    image_header_margin;

// The table row of a part name; nullptr for a name outside the table.
const machxo_part* find_machxo_part(std::string_view name);

// Whether an update can use a parsed image on a device of its part; not
// when the part is not in the table, its configuration rows are all zeros,
// or they end before the pages an update of the part compares. `why` then
// holds the line that says so.
bool image_usable(const jed_image& image, std::string& why);

// Learns of each page a loop over the image's pages has passed: how many
// of how many.
using page_progress = std::function<void(std::uint32_t, std::uint32_t)>;

} // namespace cpld
