#include "sensors/sensor_name.hpp"

#include <regex>

std::string escapeSensorName(const std::string& name)
{
    static const std::regex unsafe("[^a-zA-Z0-9_/]+",
                                   std::regex_constants::ECMAScript);
    return std::regex_replace(name, unsafe, "_");
}
