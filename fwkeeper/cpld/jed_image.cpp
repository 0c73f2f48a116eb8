#include "fwkeeper/cpld/jed_image.hpp"

#include "fwkeeper/cpld/file_descriptor.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace cpld
{

namespace
{

constexpr char stx = 0x02;
constexpr char etx = 0x03;
constexpr std::string_view crlf = "\r\n";
constexpr std::size_t row_chars = 128;
constexpr std::size_t row_stride = row_chars + crlf.size();
constexpr std::size_t page_bytes = 16;
constexpr unsigned slots = 4;
static_assert(row_stride == fuse_row_text);
// Page numbers are 16-bit on the configuration port.
constexpr std::size_t max_rows = 0xFFFF;

enum class read_outcome
{
    done,
    unreadable,
    too_large,
};

// The whole of an open file in `text`, up to max_image_size bytes.
read_outcome read_bounded(int fd, std::string& text)
{
    struct stat info
    {};
    if (fstat(fd, &info) != 0)
    {
        return read_outcome::unreadable;
    }
    // Compared as a file offset: a 32-bit size_t would cut a size of 4 GiB
    // and more to its low bits.
    if (info.st_size > static_cast<off_t>(max_image_size))
    {
        return read_outcome::too_large;
    }
    const auto expected =
        static_cast<std::size_t>(std::max<off_t>(info.st_size, 0));
    // Room for one byte more than the file holds, so that the read that
    // finds its end needs no larger buffer.
    text.assign(expected + 1, '\0');
    std::size_t size = 0;
    ssize_t got = 0;
    while ((got = read(fd, text.data() + size, text.size() - size)) > 0)
    {
        size += static_cast<std::size_t>(got);
        if (size == text.size()) // the file grew while being read
        {
            if (size > max_image_size)
            {
                return read_outcome::too_large;
            }
            text.resize(std::min(2 * size, max_image_size + 1));
        }
    }
    if (got != 0)
    {
        return read_outcome::unreadable;
    }
    text.resize(size);
    return read_outcome::done;
}

// The whole file in `text`; false, after its message, when it cannot be
// read or is too large to be an image.
bool read_image_file(const std::string& path, std::string& text)
{
    const file_descriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
    {
        std::fprintf(stderr, "open %s failed\n", path.c_str());
        return false;
    }
    switch (read_bounded(fd.get(), text))
    {
        case read_outcome::done:
            return true;
        case read_outcome::unreadable:
            std::fprintf(stderr, "open %s failed\n", path.c_str());
            return false;
        case read_outcome::too_large:
            std::fprintf(stderr, "%s is larger than %zu bytes, not an image\n",
                         path.c_str(), max_image_size);
            return false;
    }
    return false;
}

// 128 characters "0" or "1" (a fixed count the compiler vectorises).
bool is_fuse_row(const char* chars)
{
    unsigned char other = 0;
    for (std::size_t i = 0; i < row_chars; ++i)
    {
        other |= (static_cast<unsigned char>(chars[i]) & 0xFEU) ^ '0';
    }
    return other == 0;
}

// Length of the "L" field at the start of `text`: "L", the decimal fuse
// address, CR LF, then up to max_rows rows of 128 fuse characters, each
// followed by CR LF (optional after the last row). 0 when there is none.
std::size_t fuse_field_length(std::string_view text)
{
    std::size_t pos = text.find_first_not_of("0123456789", 1);
    if (pos == std::string_view::npos || pos < 2 ||
        text.substr(pos, crlf.size()) != crlf)
    {
        return 0;
    }
    pos += crlf.size();
    std::size_t rows = 0;
    while (rows < max_rows && text.size() - pos >= row_chars &&
           is_fuse_row(text.data() + pos))
    {
        pos += row_chars;
        ++rows;
        if (text.substr(pos, crlf.size()) != crlf)
        {
            break;
        }
        pos += crlf.size();
    }
    return rows == 0 ? 0 : pos;
}

bool only_line_breaks(std::string_view text)
{
    return text.find_first_not_of(crlf) == std::string_view::npos;
}

// Reads the "*"-terminated fields after the STX into an image. Each field
// follows the CR LF after the "*" before it; fuse rows are kept as views
// into the text by slot (the position of their "L" field after the last
// "F" field), notes by the slot of the next "L" field.
class field_reader
{
  public:
    field_reader(jed_image& image, std::string_view text) :
        image(image), text(text)
    {}

    // Position of the ETX after `pos`; npos when there is none or the
    // layout has no room in the image.
    std::size_t read_fields(std::size_t pos)
    {
        while (pos < text.size())
        {
            std::size_t next = text.substr(pos).starts_with("\r\nL")
                                   ? read_fuse_field(pos + crlf.size())
                                   : read_field(pos);
            if (next == std::string_view::npos || text[next] == etx)
            {
                return next;
            }
            pos = next + 1;
        }
        return std::string_view::npos;
    }

    std::array<std::string_view, slots> rows;

  private:
    // Position of the "*" after the "L" field at `pos`.
    std::size_t read_fuse_field(std::size_t pos)
    {
        std::size_t length = fuse_field_length(text.substr(pos));
        std::size_t end = pos + length;
        if (length == 0 || slot == slots || end == text.size() ||
            text[end] != '*')
        {
            return std::string_view::npos;
        }
        rows[slot++] = text.substr(pos, length);
        return end;
    }

    // Position of the "*" after the field at `pos`, or of the ETX when it
    // is the last field: nothing but line breaks before the ETX.
    std::size_t read_field(std::size_t pos)
    {
        std::size_t end = text.find('*', pos);
        std::string_view field = text.substr(pos, end - pos);
        std::size_t etx_at = field.find(etx);
        if (etx_at != std::string_view::npos)
        {
            return only_line_breaks(field.substr(0, etx_at))
                       ? pos + etx_at
                       : std::string_view::npos;
        }
        if (end == std::string_view::npos)
        {
            return end;
        }
        if (only_line_breaks(field))
        {
            return end;
        }
        return field.starts_with(crlf) && store(field.substr(crlf.size()))
                   ? end
                   : std::string_view::npos;
    }

    // Stores a field other than "L" by its identifier; false when the image
    // has no room for it.
    bool store(std::string_view field)
    {
        if (field.starts_with("QF"))
        {
            image.qf = field;
            return true;
        }
        switch (field.front())
        {
            case 'F':
                image.fuse_default = field;
                slot = 0;
                return true;
            case 'C':
                image.fuse_checksum = field;
                return true;
            case 'E':
                image.feature_row = field;
                return true;
            case 'U':
                image.usercode = field;
                return true;
            case 'N':
                if (slot == slots)
                {
                    return false;
                }
                image.notes[slot] = field;
                return true;
            default:
                return true;
        }
    }

    jed_image& image;
    std::string_view text;
    unsigned slot = 0;
};

// Sum of the bytes modulo 65536, in blocks of a fixed size the compiler
// vectorises.
std::uint16_t transmission_sum(std::string_view text)
{
    constexpr std::size_t block = 256;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    std::uint16_t sum = 0;
    std::size_t i = 0;
    for (; i + block <= text.size(); i += block)
    {
        for (std::size_t k = 0; k < block; ++k)
        {
            sum = static_cast<std::uint16_t>(sum + bytes[i + k]);
        }
    }
    for (; i < text.size(); ++i)
    {
        sum = static_cast<std::uint16_t>(sum + bytes[i]);
    }
    return sum;
}

} // namespace

const machxo_part* find_machxo_part(std::string_view name)
{
    for (const machxo_part& part : machxo_parts)
    {
        if (part.name == name)
        {
            return &part;
        }
    }
    return nullptr;
}

int parse_jed_text(jed_image& image, std::string text)
{
    image = jed_image{};
    const std::string_view all = text;
    image.device_name = jed_device_name(all);
    auto start = all.find(stx);
    field_reader reader(image, all);
    auto end =
        start == std::string_view::npos ? start : reader.read_fields(start + 1);
    const auto& rows = reader.rows;
    if (end == std::string_view::npos || rows[0].empty())
    {
        return -1;
    }
    std::string_view rest = all.substr(end + 1);
    std::string digits(rest.substr(0, rest.find('\n')));
    const bool sum_matches =
        std::strtoul(digits.c_str(), nullptr, 16) ==
        transmission_sum(all.substr(start, end - start + 1));
    std::copy(rows.begin() + 1, rows.end(), image.fuse_rows.begin() + 1);
    // The configuration rows, the bulk of the file, keep the file's buffer.
    auto offset = static_cast<std::size_t>(rows[0].data() - all.data());
    text.resize(offset + rows[0].size());
    text.erase(0, offset);
    image.fuse_rows[0] = std::move(text);
    return sum_matches ? 0 : 1;
}

int parse_jed(jed_image& image, const std::string& path)
{
    std::string text;
    if (!read_image_file(path, text))
    {
        return -1;
    }
    return parse_jed_text(image, std::move(text));
}

int jed_image::next_page(unsigned section, int pos,
                         std::vector<std::uint8_t>& page) const
{
    if (section >= fuse_rows.size() || pos < 0)
    {
        return -1;
    }
    std::string_view text = fuse_rows[section];
    std::size_t row = static_cast<std::size_t>(pos);
    if (row == 0)
    {
        row = text.find_first_of("01", text.find_first_of(crlf));
    }
    if (row >= text.size() || text.size() - row < row_chars ||
        !is_fuse_row(text.data() + row))
    {
        return -1;
    }
    for (std::size_t k = 0; k < page_bytes; ++k)
    {
        std::uint8_t byte = 0;
        for (char bit : text.substr(row + 8 * k, 8))
        {
            byte = static_cast<std::uint8_t>((byte << 1) | (bit - '0'));
        }
        page.push_back(byte);
    }
    std::size_t next = row + row_stride;
    return next < text.size() && next <= INT_MAX ? static_cast<int>(next) : -1;
}

int jed_image::get_usercode(std::string& digits) const
{
    std::string_view code = usercode;
    if (!code.starts_with("UH") || code.size() < 3 || code.size() > 10 ||
        code.find_first_not_of("0123456789abcdefABCDEF", 2) !=
            std::string_view::npos)
    {
        return -1;
    }
    digits = code.substr(2);
    return 0;
}

std::vector<std::uint8_t> usercode_bytes(std::string_view digits)
{
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2)
    {
        std::string_view pair = digits.substr(i, 2);
        std::uint8_t byte = 0;
        std::from_chars(pair.data(), pair.data() + pair.size(), byte, 16);
        bytes.push_back(byte);
    }
    return bytes;
}

std::string jed_device_name(std::string_view text)
{
    auto note = text.find("NOTE DEVICE NAME:");
    if (note == std::string_view::npos)
    {
        return {};
    }
    auto begin = text.rfind('*', note);
    begin = begin == std::string_view::npos ? 0 : begin + 1;
    std::string_view field = text.substr(begin, text.find('*', note) - begin);
    auto first = field.find('L');
    if (first == std::string_view::npos)
    {
        return {};
    }
    std::string_view name = field.substr(first);
    auto last = name.find('C', 9);
    return last == std::string_view::npos
               ? std::string()
               : std::string(name.substr(0, last + 1));
}

} // namespace cpld
