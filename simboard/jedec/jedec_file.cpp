#include "simboard/jedec/jedec_file.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <random>
#include <stdexcept>

namespace simboard::jedec
{

namespace
{

constexpr char stx = 0x02;
constexpr char etx = 0x03;
constexpr std::size_t row_chars = 128;
const std::string zero_row(row_chars, '0');
const std::string ones_row(row_chars, '1');

std::string hex4(unsigned value)
{
    char text[5];
    std::snprintf(text, sizeof(text), "%04X", value & 0xFFFF);
    return text;
}

// The "L" field groups of an image in file order, each with its note.
struct group
{
    std::string_view note;
    const std::vector<std::string>* rows;
};

std::array<group, 4> groups(const image& img)
{
    return {{{"", &img.config_rows},
             {ebr_init_note, &img.ebr_rows},
             {end_config_note, &img.end_rows},
             {img.ufm_note, &img.ufm_rows}}};
}

std::size_t row_count(const image& img)
{
    std::size_t rows = 0;
    for (const group& g : groups(img))
    {
        rows += g.rows->size();
    }
    return rows;
}

// JEDEC fuse checksum: 16-bit sum of the bytes formed by each 8 fuses, the
// first fuse the least significant bit.
unsigned fuse_checksum(const image& img)
{
    unsigned sum = 0;
    for (const group& g : groups(img))
    {
        for (const std::string& row : *g.rows)
        {
            for (std::size_t i = 0; i < row.size(); ++i)
            {
                sum += static_cast<unsigned>(row[i] == '1') << (i % 8);
            }
        }
    }
    return sum;
}

// What Diamond writes before the fuse data: its notes (pin assignments
// shortened), package pins, fuse count, security and default fuse state.
std::vector<std::string> header(const image& img, std::size_t fuses)
{
    return {
        "NOTE Simulated board (64-bit) 3.11 JEDEC Compatible Fuse File.",
        "NOTE Copyright (C), 1992-2010, Lattice Semiconductor Corporation.",
        "NOTE All Rights Reserved.",
        "NOTE DATE CREATED:\tThu May 14 16:05:19 2020",
        "NOTE DESIGN NAME:\tsimboard_impl1.ncd",
        "NOTE DEVICE NAME:\t" + img.device,
        "NOTE JEDEC FILE STATUS:\tFinal   Version 1.95",
        "NOTE PIN ASSIGNMENTS",
        "NOTE PINS LED[0] : H11 : out",
        "NOTE PINS clk_x1 : C8 : in",
        "QP256",
        "QF" + std::to_string(fuses),
        "G0",
        "F0",
    };
}

} // namespace

std::string fuse_field(std::size_t first_fuse,
                       const std::vector<std::string>& rows, const layout& how,
                       int digits)
{
    char address[24];
    std::snprintf(address, sizeof(address), "L%0*zu", digits, first_fuse);
    std::string text = address + how.line_end;
    text.reserve(text.size() + rows.size() * (row_chars + 2));
    for (std::size_t i = 0; i < rows.size(); ++i)
    {
        text += rows[i];
        if (i + 1 < rows.size() || how.line_end_after_last_row)
        {
            text += how.line_end;
        }
    }
    return text;
}

std::vector<std::string> fields(const image& img, const layout& how)
{
    const std::size_t fuses = row_count(img) * row_chars;
    std::vector<std::string> out = header(img, fuses);
    // The first address has as many digits as the fuse count, at least 6;
    // later ones are not padded.
    int digits =
        std::max<int>(6, static_cast<int>(std::to_string(fuses).size()));
    std::size_t first = 0;
    for (const group& g : groups(img))
    {
        if (g.rows->empty())
        {
            continue;
        }
        if (!g.note.empty())
        {
            out.emplace_back(g.note);
        }
        out.push_back(fuse_field(first * row_chars, *g.rows, how, digits));
        first += g.rows->size();
        digits = 1;
    }
    out.push_back("C" + hex4(fuse_checksum(img)));
    if (img.feature_row)
    {
        out.push_back("NOTE FEATURE_ROW");
        out.push_back(
            "E" + std::string(64, '0') + how.line_end + "0000010001100000");
    }
    out.push_back("NOTE User Electronic Signature Data");
    out.push_back(img.usercode);
    return out;
}

std::string jed_text(const std::vector<std::string>& fields, const layout& how)
{
    std::string text(1, stx);
    text += '*';
    for (const std::string& field : fields)
    {
        text += how.line_end;
        text += field;
        text += '*';
    }
    text += how.line_end;
    text += etx;
    unsigned sum = how.checksum_offset;
    for (char c : text)
    {
        sum += static_cast<unsigned char>(c);
    }
    return text + hex4(sum) + how.line_end;
}

std::string jed_text(const image& img, const layout& how)
{
    return jed_text(fields(img, how), how);
}

std::vector<std::string> random_rows(std::size_t count, std::uint32_t seed)
{
    std::mt19937_64 random(seed);
    std::vector<std::string> rows(count, std::string(row_chars, '0'));
    for (std::string& row : rows)
    {
        for (std::size_t i = 0; i < row_chars; i += 64)
        {
            std::uint64_t bits = random();
            for (std::size_t k = 0; k < 64; ++k)
            {
                row[i + k] = static_cast<char>('0' + ((bits >> k) & 1));
            }
        }
    }
    return rows;
}

std::vector<std::uint8_t> row_bytes(std::string_view row)
{
    std::vector<std::uint8_t> bytes(row.size() / 8);
    for (std::size_t i = 0; i < bytes.size() * 8; ++i)
    {
        bytes[i / 8] =
            static_cast<std::uint8_t>((bytes[i / 8] << 1) | (row[i] == '1'));
    }
    return bytes;
}

std::vector<std::string> flash_rows(const image& img)
{
    std::vector<std::string> rows;
    for (const group& g : groups(img))
    {
        if (g.rows != &img.ufm_rows)
        {
            rows.insert(rows.end(), g.rows->begin(), g.rows->end());
        }
    }
    while (!rows.empty() && rows.back() == zero_row)
    {
        rows.pop_back();
    }
    return rows;
}

const part_size* find_part_size(std::string_view part)
{
    // Configuration pages: the first user flash page of the parts that have
    // it in the device table, otherwise the configuration flash of the
    // MachXO2 family. User flash pages after the parts' UFM sizes; the
    // LCMXO2-4000HC and LCMXO3LF-6900C files that Diamond writes have
    // exactly these row counts (835328 and 1441280 fuses).
    static constexpr std::array<part_size, 9> sizes{{
        {"LCMXO3LF-2100C", "LCMXO3LF-2100C-5BG256C", 3200, 640},
        {"LCMXO3LF-4300C", "LCMXO3LF-4300C-5CABGA256", 5760, 768},
        {"LCMXO3LF-6900C", "LCMXO3LF-6900C-5CABGA256", 9216, 2044},
        {"LCMXO3LF-9400C", "LCMXO3LF-9400C-6BG256C", 12544, 3584},
        {"LCMXO3D-9400HC", "LCMXO3D-9400HC-5BG256C", 12544, 3584},
        {"LCMXO2-640HC", "LCMXO2-640HC-4TG100C", 1152, 192},
        {"LCMXO2-1200HC", "LCMXO2-1200HC-4TG100C", 2175, 512},
        {"LCMXO2-2000HC", "LCMXO2-2000HC-4TG100C", 3198, 640},
        {"LCMXO2-4000HC", "LCMXO2-4000HC-4CSBGA132", 5758, 768},
    }};
    for (const part_size& size : sizes)
    {
        if (size.part == part)
        {
            return &size;
        }
    }
    return nullptr;
}

image random_image(const part_size& size, std::string_view usercode,
                   std::uint32_t seed, std::size_t ebr_rows)
{
    const bool machxo3d = size.part.starts_with("LCMXO3D");
    image img;
    img.device = size.device;
    img.usercode = "UH" + std::string(usercode);
    img.feature_row = !machxo3d;
    img.config_rows = random_rows(size.config_pages / 6, seed);
    img.config_rows.back() = ones_row;
    img.ebr_rows = random_rows(ebr_rows, seed + 1);
    if (!img.ebr_rows.empty())
    {
        img.ebr_rows.back() = ones_row;
    }
    const std::size_t used = img.config_rows.size() + ebr_rows;
    if (used >= size.config_pages)
    {
        throw std::invalid_argument("no room for " + std::to_string(ebr_rows) +
                                    " EBR rows in " + std::string(size.part));
    }
    if (machxo3d)
    {
        img.end_rows.assign(size.config_pages - used, zero_row);
        img.end_rows.back() = ones_row;
        img.ufm_rows = random_rows(size.user_pages, seed + 2);
    }
    else
    {
        img.end_rows.assign(size.config_pages + size.user_pages - used,
                            zero_row);
    }
    return img;
}

void write_file(const std::string& path, std::string_view text)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!file.flush())
    {
        throw std::runtime_error("cannot write " + path);
    }
}

} // namespace simboard::jedec
