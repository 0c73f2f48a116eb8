#include "fwkeeper/cpld/jed_image.hpp"

#include "platform/file_descriptor.hpp"
#include "platform/log_line.hpp"

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

bool only_line_breaks(std::string_view text)
{
    return text.find_first_not_of(crlf) == std::string_view::npos;
}

// Line number of a position, counted from 1.
std::size_t line_at(std::string_view text, std::size_t pos)
{
    return 1 + static_cast<std::size_t>(
                   std::count(text.begin(), text.begin() + pos, '\n'));
}

bool introduces_user_flash(std::string_view note)
{
    return note.starts_with("NOTE TAG DATA") ||
           note.starts_with("NOTE USER MEMORY DATA");
}

// Reads the "*"-terminated fields after the STX into an image. Each field
// follows the CR LF after the "*" before it; fuse rows are kept as views
// into the text by slot, notes by the slot of the next "L" field. The
// first failure is kept with its position.
class field_reader
{
  public:
    field_reader(jed_image& image, std::string_view text) :
        image(image), text(text)
    {}

    // Position of the ETX after `pos`; npos when there is none or the
    // layout has no room in the image (`failure` then says why).
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
        return fail(pos, "the file ends before its ETX");
    }

    std::array<std::string_view, slots> rows;
    std::string why; // the first failure

  private:
    std::size_t fail(std::size_t pos, const std::string& what)
    {
        why = "malformed image at line " + std::to_string(line_at(text, pos)) +
              ": " + what;
        return std::string_view::npos;
    }

    // Position of the "*" after the "L" field at `pos`.
    std::size_t read_fuse_field(std::size_t pos)
    {
        if (slot == slots)
        {
            return fail(pos, "a fifth L field, an image has room for four");
        }
        std::uint64_t address = 0;
        const char* digits = text.data() + pos + 1;
        auto [end,
              ec] = std::from_chars(digits, text.data() + text.size(), address);
        std::size_t at = static_cast<std::size_t>(end - text.data());
        if (ec != std::errc() || text.substr(at, crlf.size()) != crlf)
        {
            return fail(pos, "L field without a fuse address line");
        }
        std::uint32_t before = rows_before(slot);
        if (address != std::uint64_t{before} * row_chars)
        {
            return fail(pos,
                        "L field at fuse " + std::to_string(address) +
                            ", the rows before it end at fuse " +
                            std::to_string(std::uint64_t{before} * row_chars));
        }
        return read_rows(pos, at + crlf.size(), before);
    }

    // Rows of the L field at `field` from `pos` on, up to its "*".
    std::size_t read_rows(std::size_t field, std::size_t pos,
                          std::uint32_t before)
    {
        std::uint32_t count = 0;
        while (pos < text.size() && text[pos] != '*')
        {
            if (before + count == max_rows)
            {
                return fail(pos, "more than " + std::to_string(max_rows) +
                                     " fuse rows");
            }
            if (text.size() - pos < row_chars ||
                !is_fuse_row(text.data() + pos) ||
                !row_ends_well(pos + row_chars))
            {
                return fail(pos, "a fuse row that is not 128 fuse "
                                 "characters followed by CR LF");
            }
            pos += row_chars;
            pos += text.substr(pos).starts_with(crlf) ? crlf.size() : 0;
            ++count;
        }
        if (count == 0 || pos == text.size())
        {
            return fail(field, count == 0 ? "L field without fuse rows"
                                          : "the file ends before its ETX");
        }
        counts[slot] = count;
        rows[slot++] = text.substr(field, pos - field);
        return pos;
    }

    // After a row: CR LF, or the "*" of the last row.
    bool row_ends_well(std::size_t pos) const
    {
        return text.substr(pos).starts_with(crlf) ||
               text.substr(pos).starts_with('*');
    }

    std::uint32_t rows_before(unsigned end) const
    {
        std::uint32_t sum = 0;
        for (unsigned k = 0; k < end; ++k)
        {
            sum += counts[k];
        }
        return sum;
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
                       : fail(pos + etx_at, "a field without its \"*\" "
                                            "before the ETX");
        }
        if (end == std::string_view::npos)
        {
            return fail(pos, "the file ends before its ETX");
        }
        if (only_line_breaks(field))
        {
            return end;
        }
        if (!field.starts_with(crlf))
        {
            return fail(pos, "a field that does not start on a new line");
        }
        store(field.substr(crlf.size()));
        return end;
    }

    // Stores a field other than "L" by its identifier.
    void store(std::string_view field)
    {
        if (field.starts_with("QF"))
        {
            image.qf = field;
            return;
        }
        switch (field.front())
        {
            case 'F':
                // The fuse data starts again.
                image.fuse_default = field;
                slot = 0;
                counts = {};
                rows = {};
                return;
            case 'C':
                image.fuse_checksum = field;
                return;
            case 'E':
                image.feature_row = field;
                return;
            case 'U':
                image.usercode = field;
                return;
            case 'N':
                if (slot < slots)
                {
                    image.notes[slot] = field;
                }
                return;
            default:
                return;
        }
    }

    jed_image& image;
    std::string_view text;
    unsigned slot = 0;
    std::array<std::uint32_t, slots> counts{};
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

bool read_jed_file(const std::string& path, std::string& text, std::string& why)
{
    const platform::file_descriptor fd(
        open(path.c_str(), O_RDONLY | O_CLOEXEC));
    switch (
        fd.get() < 0 ? read_outcome::unreadable : read_bounded(fd.get(), text))
    {
        case read_outcome::done:
            return true;
        case read_outcome::unreadable:
            why = "open " + path + " failed";
            return false;
        case read_outcome::too_large:
            why = path + " is larger than " + std::to_string(max_image_size) +
                  " bytes, not an image";
            return false;
    }
    return false;
}

namespace
{

// The checksums of a text whose STX and ETX are at `start` and `end`.
transmission_checksum checksums_between(std::string_view text,
                                        std::size_t start, std::size_t end)
{
    std::string_view rest = text.substr(end + 1);
    std::string digits(rest.substr(0, rest.find('\n')));
    return transmission_checksum{
        static_cast<std::uint16_t>(std::strtoul(digits.c_str(), nullptr, 16)),
        transmission_sum(text.substr(start, end - start + 1))};
}

} // namespace

std::optional<transmission_checksum> transmission_checksums(
    std::string_view text)
{
    const auto start = text.find(stx);
    const auto end = text.find(etx, start);
    if (start == std::string_view::npos || end == std::string_view::npos)
    {
        return std::nullopt;
    }
    return checksums_between(text, start, end);
}

namespace
{

// Whether every line between STX and ETX ends in CR LF; `why` names the
// first that does not.
bool crlf_line_ends(std::string_view text, std::size_t start, std::size_t end,
                    std::string& why)
{
    for (auto lf = text.find('\n', start); lf < end;
         lf = text.find('\n', lf + 1))
    {
        if (text[lf - 1] != '\r')
        {
            why = "line " + std::to_string(line_at(text, lf)) +
                  " of the image ends in LF alone: a JEDEC file needs CR LF "
                  "line ends (git may have converted the file)";
            return false;
        }
    }
    return true;
}

std::string hex4(unsigned value)
{
    char text[5];
    std::snprintf(text, sizeof(text), "%04X", value);
    return text;
}

// Keeps the texts of the fuse fields; the largest keeps the file's buffer
// itself rather than a copy.
void keep_rows(jed_image& image, std::string text,
               const std::array<std::string_view, slots>& rows)
{
    const auto largest = static_cast<std::size_t>(
        std::ranges::max_element(rows, {}, &std::string_view::size) -
        rows.begin());
    if (rows[largest].empty())
    {
        return; // no fuse rows at all
    }
    for (std::size_t slot = 0; slot < slots; ++slot)
    {
        if (slot != largest)
        {
            image.fuse_rows[slot] = rows[slot];
        }
    }
    auto offset = static_cast<std::size_t>(rows[largest].data() - text.data());
    text.resize(offset + rows[largest].size());
    text.erase(0, offset);
    image.fuse_rows[largest] = std::move(text);
}

} // namespace

int parse_jed_text(jed_image& image, std::string text, std::string& why)
{
    image = jed_image{};
    const std::string_view all = text;
    image.device_name = jed_device_name(all);
    const auto start = all.find(stx);
    if (start == std::string_view::npos)
    {
        why = "malformed image: no STX, not a JEDEC file";
        return -1;
    }
    field_reader reader(image, all);
    const auto end = reader.read_fields(start + 1);
    if (end == std::string_view::npos)
    {
        // A file whose CRs were lost fails at its first field; say why.
        if (crlf_line_ends(all, start, all.find(etx, start), why))
        {
            why = reader.why;
        }
        return -1;
    }
    const transmission_checksum sums = checksums_between(all, start, end);
    keep_rows(image, std::move(text), reader.rows);
    if (user_flash_slot(image) == 0 || image.fuse_rows[0].empty())
    {
        why = "malformed image: no configuration rows";
        return -1;
    }
    if (sums.stated != sums.computed)
    {
        why = "transmission checksum of the image differs: the file states " +
              hex4(sums.stated) + ", its bytes sum to " + hex4(sums.computed);
        return 1;
    }
    return 0;
}

int parse_jed(jed_image& image, const std::string& path)
{
    std::string text;
    std::string why;
    int result = read_jed_file(path, text, why)
                     ? parse_jed_text(image, std::move(text), why)
                     : -1;
    if (result != 0)
    {
        platform::log_line(stderr, why);
    }
    return result;
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

bool page_cursor::next(const jed_image& image, std::vector<std::uint8_t>& page)
{
    if (slot >= image.fuse_rows.size() || image.fuse_rows[slot].empty())
    {
        return false;
    }
    const std::size_t before = page.size();
    pos = image.next_page(slot, pos, page);
    if (pos == -1)
    {
        ++slot;
        pos = 0;
    }
    return page.size() != before;
}

std::uint32_t row_count(const jed_image& image, unsigned slot)
{
    std::string_view text = image.fuse_rows.at(slot);
    auto first = text.find(crlf);
    if (first == std::string_view::npos)
    {
        return 0;
    }
    // Every row but the last is followed by CR LF, which it may lack.
    return static_cast<std::uint32_t>((text.size() - first) / row_stride);
}

unsigned user_flash_slot(const jed_image& image)
{
    auto slot = std::ranges::find_if(image.notes, introduces_user_flash);
    return static_cast<unsigned>(slot - image.notes.begin());
}

page_plan plan_pages(const jed_image& image, std::uint32_t page_limit)
{
    page_plan plan;
    for (unsigned slot = 0; slot < user_flash_slot(image); ++slot)
    {
        plan.config_rows += row_count(image, slot);
    }
    plan.config_rows = std::min(plan.config_rows, page_limit);
    page_cursor rows;
    std::vector<std::uint8_t> page;
    for (std::uint32_t row = 0; row < plan.config_rows; ++row)
    {
        page.clear();
        rows.next(image, page);
        if (std::ranges::any_of(page, [](std::uint8_t b) { return b != 0; }))
        {
            plan.program_pages = row + 1;
        }
    }
    plan.compare_pages =
        page_limit == no_ufm_boundary ? plan.program_pages : page_limit;
    return plan;
}

bool image_usable(const jed_image& image, std::string& why)
{
    const machxo_part* part = find_machxo_part(image.device_name);
    if (image.device_name.empty())
    {
        why = "the image names no MachXO part in a \"NOTE DEVICE NAME:\" "
              "field";
        return false;
    }
    if (part == nullptr)
    {
        why = "device name \"" + image.device_name +
              "\" of the image is not a MachXO part of the device table";
        return false;
    }
    const page_plan plan = plan_pages(image, part->page_limit);
    if (plan.program_pages == 0)
    {
        why = "fw has no configuration row that is not all zeros";
        return false;
    }
    if (plan.config_rows < plan.compare_pages)
    {
        why = "fw has " + std::to_string(plan.config_rows) +
              " configuration rows, fewer than the " +
              std::to_string(plan.compare_pages) +
              " configuration pages of the device";
        return false;
    }
    return true;
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
