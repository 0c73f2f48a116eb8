#include "sensors/sensor_name.hpp"

namespace
{

bool allowedInPath(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c >= '0' && c <= '9') || c == '_' || c == '/';
}

} // namespace

// Same as replacing the regular expression "[^a-zA-Z0-9_/]+" by "_"
// (bytes, not characters: a multi-byte character is one run).
std::string escapeSensorName(const std::string& name)
{
    std::string escaped;
    escaped.reserve(name.size());
    for (size_t i = 0; i < name.size(); ++i)
    {
        if (allowedInPath(name[i]))
        {
            escaped += name[i];
        }
        else if (i == 0 || allowedInPath(name[i - 1]))
        {
            escaped += '_';
        }
    }
    return escaped;
}
