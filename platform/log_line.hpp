#pragma once

#include <cstdarg>
#include <cstdio>
#include <string_view>

// How the daemons log: one line at a time to standard output or standard
// error, flushed at once; the service manager takes both streams into the
// journal.
namespace platform
{

/** `text` and a line end. */
inline void log_line(std::FILE* stream, std::string_view text)
{
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

/** A printf-formatted text as it is: the format carries its line end. */
[[gnu::format(printf, 2, 3)]] inline void log_format(std::FILE* stream,
                                                     const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stream, format, args);
    va_end(args);
    std::fflush(stream);
}

} // namespace platform
