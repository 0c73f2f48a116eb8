#include "simboard/jedec/jedec_file.hpp"

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

std::string hex4(unsigned value)
{
    char text[5];
    std::snprintf(text, sizeof(text), "%04X", value & 0xFFFF);
    return text;
}

// JEDEC fuse checksum: 16-bit sum of the bytes formed by each 8 fuses, the
// first fuse the least significant bit.
unsigned fuse_checksum(const image& img)
{
    unsigned sum = 0;
    for (const auto* rows : {&img.config_rows, &img.ufm_rows})
    {
        for (const std::string& row : *rows)
        {
            for (std::size_t i = 0; i < row.size(); ++i)
            {
                sum += static_cast<unsigned>(row[i] == '1') << (i % 8);
            }
        }
    }
    return sum;
}

} // namespace

std::string fuse_field(std::size_t first_fuse,
                       const std::vector<std::string>& rows, const layout& how)
{
    char address[24];
    std::snprintf(address, sizeof(address), "L%06zu", first_fuse);
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
    std::size_t fuses =
        (img.config_rows.size() + img.ufm_rows.size()) * row_chars;
    std::vector<std::string> out{
        "NOTE Simulated board JEDEC fuse file",
        "NOTE DEVICE NAME:\t" + img.device,
        "QF" + std::to_string(fuses),
        "G0",
        "F0",
    };
    if (!img.config_rows.empty())
    {
        out.push_back(fuse_field(0, img.config_rows, how));
    }
    if (!img.ufm_rows.empty())
    {
        out.push_back("NOTE TAG DATA");
        out.push_back(
            fuse_field(img.config_rows.size() * row_chars, img.ufm_rows, how));
    }
    out.push_back("NOTE User Electronic Signature Data");
    out.push_back(img.usercode);
    out.push_back("NOTE Feature_Row");
    out.push_back(
        "E" + std::string(64, '0') + how.line_end + std::string(16, '0'));
    out.push_back("C" + hex4(fuse_checksum(img)));
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
    return text + hex4(sum);
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

const part_size* find_part_size(std::string_view part)
{
    // Configuration rows after the parts' configuration flash; user flash
    // rows after their UFM size.
    static constexpr std::array<part_size, 9> sizes{{
        {"LCMXO3LF-2100C", "LCMXO3LF-2100C-5BG256C", 3200, 640},
        {"LCMXO3LF-4300C", "LCMXO3LF-4300C-6BG256C", 5760, 768},
        {"LCMXO3LF-6900C", "LCMXO3LF-6900C-6BG256C", 9216, 2048},
        {"LCMXO3LF-9400C", "LCMXO3LF-9400C-6BG256C", 12544, 3584},
        {"LCMXO3D-9400HC", "LCMXO3D-9400HC-5BG256C", 12544, 3584},
        {"LCMXO2-640HC", "LCMXO2-640HC-4TG100C", 1152, 191},
        {"LCMXO2-1200HC", "LCMXO2-1200HC-4TG100C", 2176, 512},
        {"LCMXO2-2000HC", "LCMXO2-2000HC-4TG100C", 3200, 640},
        {"LCMXO2-4000HC", "LCMXO2-4000HC-4TG144C", 5760, 768},
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
                   std::uint32_t seed)
{
    image img{std::string(size.device), random_rows(size.config_rows, seed),
              random_rows(size.ufm_rows, seed + 1),
              "UH" + std::string(usercode)};
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
