// cpld-image-check FILE
// Reads a JEDEC fuse file with fwkeeper's own reader and says what an
// update would do with it: the part, its fuse rows, checksums and usercode,
// the pages an update programs and compares, and whether fwkeeper would
// update a part with it or the line it refuses it with. Needs no device:
// the ID code check against the part on the bus is the one thing it cannot
// tell. Exit status 0 when fwkeeper would update, 1 when not, 2 for usage.

#include "fwkeeper/cpld/jed_image.hpp"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

namespace
{

using namespace cpld;

void line(const char* label, const std::string& text)
{
    std::printf("  %-16s %s\n", label, text.c_str());
}

std::string hex4(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof(text), "%04X", value & 0xFFFF);
    return text;
}

// Fuse rows of every field and of the configuration data.
struct row_counts
{
    std::uint32_t all = 0;
    unsigned fields = 0;
    std::uint32_t user_flash = 0;
    std::uint32_t with_data = 0; // configuration rows that are not all zeros
    std::uint32_t ebr_with_data = 0;
};

bool is_ebr_init(const jed_image& image, unsigned slot)
{
    return std::string_view(image.notes[slot])
        .starts_with("NOTE EBR_INIT DATA");
}

row_counts count_rows(const jed_image& image, const page_plan& plan)
{
    row_counts counts;
    for (unsigned slot = 0; slot < image.fuse_rows.size(); ++slot)
    {
        const std::uint32_t rows = row_count(image, slot);
        counts.all += rows;
        counts.fields += rows > 0 ? 1 : 0;
        counts.user_flash += slot >= user_flash_slot(image) ? rows : 0;
    }
    page_cursor cursor;
    std::vector<std::uint8_t> page;
    for (std::uint32_t row = 0; row < plan.config_rows; ++row)
    {
        const unsigned slot = cursor.slot;
        page.clear();
        cursor.next(image, page);
        for (std::uint8_t byte : page)
        {
            if (byte != 0)
            {
                ++counts.with_data;
                counts.ebr_with_data += is_ebr_init(image, slot) ? 1 : 0;
                break;
            }
        }
    }
    return counts;
}

// JEDEC fuse checksum: the 16-bit sum of the bytes of 8 fuses each, the
// first fuse the least significant bit, over every row of the fuse map.
unsigned fuse_checksum(const jed_image& image)
{
    unsigned sum = 0;
    page_cursor cursor;
    std::vector<std::uint8_t> page;
    while (cursor.next(image, page))
    {
        for (std::uint8_t byte : page)
        {
            std::uint8_t reversed = 0;
            for (int bit = 0; bit < 8; ++bit)
            {
                reversed |=
                    static_cast<std::uint8_t>(((byte >> bit) & 1) << (7 - bit));
            }
            sum += reversed;
        }
        page.clear();
    }
    return sum & 0xFFFF;
}

void print_part(const jed_image& image, const machxo_part* part)
{
    if (part == nullptr)
    {
        line("part", image.device_name.empty()
                         ? "none named"
                         : image.device_name + ", not in the table");
        return;
    }
    char text[96];
    if (part->page_limit == no_ufm_boundary)
    {
        std::snprintf(text, sizeof(text), "%s, ID code 0x%08X, no page limit",
                      std::string(part->name).c_str(), part->id_code);
    }
    else
    {
        std::snprintf(text, sizeof(text), "%s, ID code 0x%08X, page limit %u",
                      std::string(part->name).c_str(), part->id_code,
                      part->page_limit);
    }
    line("part", text);
}

void print_rows(const jed_image& image, const page_plan& plan)
{
    const row_counts rows = count_rows(image, plan);
    line("fuses", image.qf.substr(2) + " (" + std::to_string(rows.all) +
                      " rows in " + std::to_string(rows.fields) + " L fields)");
    line("configuration",
         std::to_string(plan.config_rows) + " rows, " +
             std::to_string(rows.with_data) + " with data (" +
             std::to_string(rows.ebr_with_data) + " of them EBR init rows)");
    line("user flash", std::to_string(rows.user_flash) + " rows");
}

void print_checksums(const jed_image& image, const std::string& text)
{
    std::string digits;
    line("usercode",
         image.get_usercode(digits) == 0 ? digits : "not hexadecimal");
    line("fuse checksum", "stated " + image.fuse_checksum.substr(1) +
                              ", computed " + hex4(fuse_checksum(image)));
    if (auto sums = transmission_checksums(text))
    {
        line("transmission", "stated " + hex4(sums->stated) + ", computed " +
                                 hex4(sums->computed));
    }
}

void print_plan(const page_plan& plan)
{
    line("update",
         "programs " + std::to_string(plan.program_pages) +
             " pages, compares " + std::to_string(plan.compare_pages));
}

int verdict(const jed_image& image, bool usable, const std::string& why)
{
    if (!usable)
    {
        std::printf("fwkeeper would not update a part with it: %s\n",
                    why.c_str());
        return 1;
    }
    std::printf("fwkeeper would update an %s with it, once the device's ID "
                "code matches\n",
                image.device_name.c_str());
    return 0;
}

int check(const std::string& path)
{
    std::printf("%s\n", path.c_str());
    std::string text;
    std::string why;
    if (!read_jed_file(path, text, why))
    {
        return verdict({}, false, why);
    }
    jed_image image;
    const int parsed = parse_jed_text(image, text, why);
    const machxo_part* part = find_machxo_part(image.device_name);
    print_part(image, part);
    if (parsed == -1)
    {
        return verdict(image, false, why);
    }
    const page_plan plan =
        plan_pages(image, part != nullptr ? part->page_limit : no_ufm_boundary);
    print_rows(image, plan);
    print_checksums(image, text);
    print_plan(plan);
    return verdict(image, parsed == 0 && image_usable(image, why), why);
}

} // namespace

int main(int argc, char** argv)
try
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: cpld-image-check FILE\n");
        return 2;
    }
    return check(argv[1]);
}
catch (const std::exception& e)
{
    std::fprintf(stderr, "cpld-image-check: %s\n", e.what());
    return 2;
}
