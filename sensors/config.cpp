#include "sensors/config.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <variant>

namespace
{

using TextList = std::vector<std::string>;

/** The source type names as the conversion errors print them. */
template <typename T>
constexpr const char* sourceName()
{
    if constexpr (std::is_same_v<T, TextList>)
    {
        return "std::vector<std::__cxx11::basic_string<char> >";
    }
    else
    {
        return "std::__cxx11::basic_string<char>";
    }
}

template <typename T>
[[noreturn]] void cannotTranslate(const char* target)
{
    throw std::invalid_argument(std::string("Cannot translate type ") +
                                sourceName<T>() + " to " + target);
}

/** Truncates toward zero into 32 bits; out of range saturates, NaN gives 0
 *  (as the BMC's ARM core converts), never the undefined cast. */
uint32_t truncateToUnsigned(double value)
{
    if (std::isnan(value) || value <= 0.0)
    {
        return 0;
    }
    if (value >= 4294967296.0)
    {
        return std::numeric_limits<uint32_t>::max();
    }
    return static_cast<uint32_t>(value);
}

template <typename T>
constexpr bool isText =
    std::is_same_v<T, TextList> || std::is_same_v<T, std::string>;

template <typename T>
std::string textOf(const T& v)
{
    if constexpr (std::is_same_v<T, TextList>)
    {
        cannotTranslate<T>("string");
    }
    else if constexpr (std::is_same_v<T, std::string>)
    {
        return v;
    }
    else if constexpr (std::is_same_v<T, bool>)
    {
        return v ? "1" : "0";
    }
    else
    {
        // Integers in decimal, doubles as "%f".
        return std::to_string(v);
    }
}

template <typename T>
uint32_t unsignedOf(const T& v)
{
    if constexpr (isText<T>)
    {
        cannotTranslate<T>("unsigned int");
    }
    else if constexpr (std::is_same_v<T, double>)
    {
        return truncateToUnsigned(v);
    }
    else
    {
        // Low 32 bits; negative values wrap.
        return static_cast<uint32_t>(v);
    }
}

template <typename T>
double doubleOf(const T& v)
{
    if constexpr (isText<T>)
    {
        cannotTranslate<T>("double");
    }
    else
    {
        return static_cast<double>(v);
    }
}

} // namespace

std::string variantToString(const ConfigValue& value)
{
    return std::visit([](const auto& v) { return textOf(v); }, value);
}

uint32_t variantToUnsigned(const ConfigValue& value)
{
    return std::visit([](const auto& v) { return unsignedOf(v); }, value);
}

double variantToDouble(const ConfigValue& value)
{
    return std::visit([](const auto& v) { return doubleOf(v); }, value);
}
