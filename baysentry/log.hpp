#pragma once

// The daemon's messages: plain lines, printf-formatted, flushed at once.
namespace baysentry
{

/** To standard error. */
[[gnu::format(printf, 1, 2)]] void logErr(const char* format, ...);

} // namespace baysentry
