#include "simboard/soak/output_log.hpp"

#include <fstream>

namespace simboard::soak
{

std::vector<output_line> output_log::new_lines()
{
    std::vector<output_line> lines;
    std::ifstream in(path_, std::ios::binary);
    if (!in.seekg(static_cast<std::streamoff>(offset_)))
    {
        return lines;
    }
    std::string text((std::istreambuf_iterator<char>(in)),
                     std::istreambuf_iterator<char>());
    // A line still being written stays for the next call.
    std::size_t start = 0;
    for (std::size_t end = 0; (end = text.find('\n', start)) != text.npos;
         start = end + 1)
    {
        std::string_view line(text.data() + start, end - start);
        if (line.size() >= 2)
        {
            lines.push_back({line[0] == 'O' ? output_line::stream::out
                                            : output_line::stream::err,
                             std::string(line.substr(2))});
        }
    }
    offset_ += start;
    return lines;
}

} // namespace simboard::soak
