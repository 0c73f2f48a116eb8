#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Writer of Lattice JEDEC fuse files for tests and the simulated board.
namespace simboard::jedec
{

// What a file holds. Rows are texts of 128 "0"/"1" fuse characters.
struct image
{
    std::string device = "LCMXO3LF-2100C-5BG256C"; // "NOTE DEVICE NAME:"
    std::vector<std::string> config_rows;          // first "L" field
    std::vector<std::string> ufm_rows;             // second, when not empty
    std::string usercode = "UH00000000";           // the whole "U" field
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
// end in front of it: notes, QF, G, F, the "L" fields, U, E and C. Tests
// insert, drop or change fields before joining them with jed_text.
std::vector<std::string> fields(const image& img, const layout& how = {});

// One "L" field starting at fuse `first_fuse`.
std::string fuse_field(std::size_t first_fuse,
                       const std::vector<std::string>& rows,
                       const layout& how = {});

// STX, the fields, ETX and the transmission checksum.
std::string jed_text(const std::vector<std::string>& fields,
                     const layout& how = {});

std::string jed_text(const image& img, const layout& how = {});

// `count` pseudo-random rows, the same for the same seed.
std::vector<std::string> random_rows(std::size_t count, std::uint32_t seed);

// The 16 bytes of a row as the configuration port stores them.
std::vector<std::uint8_t> row_bytes(std::string_view row);

// Configuration and user flash row counts of a MachXO part, and the full
// device name written into its files.
struct part_size
{
    std::string_view part;
    std::string_view device;
    std::size_t config_rows;
    std::size_t ufm_rows;
};

// nullptr for a part this writer does not know.
const part_size* find_part_size(std::string_view part);

// A pseudo-random image of `part` with usercode digits `usercode`.
image random_image(const part_size& size, std::string_view usercode,
                   std::uint32_t seed);

void write_file(const std::string& path, std::string_view text);

} // namespace simboard::jedec
