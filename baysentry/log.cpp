#include "baysentry/log.hpp"

#include <cstdarg>
#include <cstdio>

namespace baysentry
{

void logErr(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fflush(stderr);
}

} // namespace baysentry
