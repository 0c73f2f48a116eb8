#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Writer of Lattice JEDEC fuse files for tests and the simulated board, in
// the layout Lattice Diamond writes them.
namespace simboard::jedec
{

inline constexpr std::string_view ebr_init_note = "NOTE EBR_INIT DATA";
inline constexpr std::string_view end_config_note = "NOTE END CONFIG DATA";
inline constexpr std::string_view tag_note = "NOTE TAG DATA";
inline constexpr std::string_view user_memory_note =
    "NOTE USER MEMORY DATA UFM0";

// What a file holds. Rows are texts of 128 "0"/"1" fuse characters; each
// group that is not empty is one "L" field, in this order, the ones after
// the first introduced by their note.
struct image
{
    // "NOTE DEVICE NAME:": the part with its package.
    std::string device = "LCMXO3LF-2100C-5BG256C";
    std::vector<std::string> config_rows; // the design's configuration rows
    std::vector<std::string> ebr_rows;    // after "NOTE EBR_INIT DATA"
    std::vector<std::string> end_rows;    // after "NOTE END CONFIG DATA"
    std::vector<std::string> ufm_rows;    // after ufm_note
    std::string usercode = "UH00000000";  // the whole "U" field
    std::string ufm_note = std::string(tag_note);
    bool feature_row = true; // the "E" field; MachXO3D files have none
};

// How it is written; the defaults give a well-formed file, the others the
// deliberate faults tests need.
struct layout
{
    std::string line_end = "\r\n";
    bool line_end_after_last_row = true;
    std::uint16_t checksum_offset = 0; // added to the transmission checksum
};

// The fields of a file in order, each without its "*" and without the line
// end in front of it: notes, QP, QF, G, F, the "L" fields with their notes,
// C, E and U with theirs. Tests insert, drop or change fields before
// joining them with jed_text.
std::vector<std::string> fields(const image& img, const layout& how = {});

// One "L" field starting at fuse `first_fuse`, its address written with at
// least `digits` digits.
std::string fuse_field(std::size_t first_fuse,
                       const std::vector<std::string>& rows,
                       const layout& how = {}, int digits = 6);

// STX, the fields, ETX, the transmission checksum and a line end.
std::string jed_text(const std::vector<std::string>& fields,
                     const layout& how = {});

std::string jed_text(const image& img, const layout& how = {});

// `count` pseudo-random rows, the same for the same seed.
std::vector<std::string> random_rows(std::size_t count, std::uint32_t seed);

// The 16 bytes of a row as the configuration port stores them.
std::vector<std::uint8_t> row_bytes(std::string_view row);

// What an update leaves in the configuration flash from page 0 on: every
// row before the user flash through the last one that is not all zeros.
std::vector<std::string> flash_rows(const image& img);

// Flash sizes of a MachXO part in 16-byte pages, and the full device name
// written into its files. A file has one fuse row per page of both.
struct part_size
{
    std::string_view part;
    std::string_view device;
    std::size_t config_pages;
    std::size_t user_pages;
};

// nullptr for a part this writer does not know.
const part_size* find_part_size(std::string_view part);

// A pseudo-random image of `part` with usercode digits `usercode`, laid out
// as Diamond lays out a design: configuration rows for a sixth of the
// configuration flash, the last all ones; `ebr_rows` EBR initialisation
// rows, the last all ones; zero rows to the end of the user flash. A
// MachXO3D image has no feature row, its end rows stop at the end of the
// configuration flash with a row of ones, and its user flash follows as
// tag data.
image random_image(const part_size& size, std::string_view usercode,
                   std::uint32_t seed, std::size_t ebr_rows = 0);

void write_file(const std::string& path, std::string_view text);

} // namespace simboard::jedec
