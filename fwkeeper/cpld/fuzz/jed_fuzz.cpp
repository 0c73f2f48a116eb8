// libFuzzer target: the JEDEC reader on arbitrary file contents.

#include "fwkeeper/cpld/jed_image.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace
{

// Walks every row of every slot as an update and a comparison would, and
// counts each slot's rows.
void walk_rows(const cpld::jed_image& image)
{
    std::vector<std::uint8_t> bytes;
    for (unsigned slot = 0; slot < image.fuse_rows.size(); ++slot)
    {
        for (int pos = 0; (pos = image.next_page(slot, pos, bytes)) != -1;)
        {}
        cpld::row_count(image, slot);
    }
    cpld::page_cursor cursor;
    while (cursor.next(image, bytes))
    {}
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    cpld::jed_device_name(text);

    cpld::jed_image image;
    std::string why;
    cpld::parse_jed_text(image, text, why);
    walk_rows(image);
    // What an update and the image checker make of it, for every part.
    cpld::image_usable(image, why);
    for (const cpld::machxo_part& part : cpld::machxo_parts)
    {
        cpld::plan_pages(image, part.page_limit);
    }
    std::string digits;
    if (image.get_usercode(digits) == 0)
    {
        cpld::usercode_bytes(digits);
    }

    // next_page also on texts no parse has checked.
    cpld::jed_image raw;
    raw.fuse_rows[0] = text;
    raw.usercode = text;
    walk_rows(raw);
    if (raw.get_usercode(digits) == 0)
    {
        cpld::usercode_bytes(digits);
    }
    return 0;
}
