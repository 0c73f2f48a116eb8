#include "simboard/i2c/txlog.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>
#include <cstring>

namespace simboard::i2c
{

namespace
{

constexpr std::string_view hex_digits = "0123456789abcdef";

void append_hex(std::string& out, std::span<const uint8_t> bytes)
{
    if (bytes.empty())
    {
        out += '-';
        return;
    }
    for (uint8_t byte : bytes)
    {
        out += hex_digits[byte >> 4];
        out += hex_digits[byte & 0x0f];
    }
}

std::optional<std::vector<uint8_t>> parse_hex(std::string_view text)
{
    std::vector<uint8_t> bytes;
    if (text == "-")
    {
        return bytes;
    }
    if (text.size() % 2 != 0)
    {
        return std::nullopt;
    }
    for (size_t i = 0; i < text.size(); i += 2)
    {
        uint8_t byte = 0;
        auto [end, ec] =
            std::from_chars(text.data() + i, text.data() + i + 2, byte, 16);
        if (ec != std::errc{} || end != text.data() + i + 2)
        {
            return std::nullopt;
        }
        bytes.push_back(byte);
    }
    return bytes;
}

template <typename Number>
bool parse_number(std::string_view text, Number& value, int base)
{
    auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), value, base);
    return ec == std::errc{} && end == text.data() + text.size();
}

// Splits "key=value" off the front of `line`.
std::optional<std::string_view> take_field(std::string_view& line,
                                           std::string_view key)
{
    size_t end = line.find(' ');
    std::string_view field = line.substr(0, end);
    line = end == std::string_view::npos ? std::string_view{}
                                         : line.substr(end + 1);
    if (field.size() <= key.size() || !field.starts_with(key) ||
        field[key.size()] != '=')
    {
        return std::nullopt;
    }
    return field.substr(key.size() + 1);
}

} // namespace

std::string format_log_line(const transaction& t, int error)
{
    std::string line = "bus=" + std::to_string(t.bus) + " addr=0x";
    line += hex_digits[t.address >> 4];
    line += hex_digits[t.address & 0x0f];
    line += " w=";
    append_hex(line, t.written);
    line += " r=";
    append_hex(line, error == 0 ? std::span<const uint8_t>(t.read)
                                : std::span<const uint8_t>{});
    line += " result=";
    line += error == 0 ? "ok" : strerrorname_np(error);
    line += '\n';
    return line;
}

void append_log(const shared_state& state, const transaction& t, int error)
{
    if (state.log_path[0] == '\0')
    {
        return;
    }
    int fd = ::open(state.log_path.data(),
                    O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
    {
        return;
    }
    std::string line = format_log_line(t, error);
    // One append of a short line is not split by the kernel.
    [[maybe_unused]] ssize_t written = ::write(fd, line.data(), line.size());
    ::close(fd);
}

std::optional<i2c_log_entry> parse_log_line(std::string_view line)
{
    i2c_log_entry entry;
    auto bus = take_field(line, "bus");
    auto address = take_field(line, "addr");
    auto written = take_field(line, "w");
    auto read = take_field(line, "r");
    auto result = take_field(line, "result");
    if (!bus || !address || !written || !read || !result ||
        !address->starts_with("0x") || !parse_number(*bus, entry.bus, 10) ||
        !parse_number(address->substr(2), entry.address, 16))
    {
        return std::nullopt;
    }
    auto written_bytes = parse_hex(*written);
    auto read_bytes = parse_hex(*read);
    if (!written_bytes || !read_bytes)
    {
        return std::nullopt;
    }
    entry.written = std::move(*written_bytes);
    entry.read = std::move(*read_bytes);
    entry.result = *result;
    return entry;
}

} // namespace simboard::i2c
