#pragma once

#include <systemd/sd-bus.h>

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <string_view>

namespace simboard::peers
{

/** A D-Bus value of an exact type: one complete type signature and the
 *  value as JSON.
 *
 *  Basic types are JSON strings (s, o, g), integers (y, n, q, i, u, x, t,
 *  range checked), numbers (d) and booleans (b). An array is a JSON array;
 *  a dict (a{..}) a JSON object whose keys are the key values as text
 *  (e.g. "7" for a{tq}); a struct a JSON array of its members; a variant
 *  the pair [signature, value], the same form as a typed value written in
 *  a board file. Unix fds (h) are not supported. */
struct typed_value
{
    std::string signature;
    nlohmann::json value;

    bool operator==(const typed_value&) const = default;
};

/** A string is the shorthand for an "s" value; otherwise the pair
 *  [signature, value]. Throws std::invalid_argument for anything else.
 *  The value itself is checked only when it is appended. */
typed_value parse_typed_value(const nlohmann::json& j);

/** [signature, value] */
nlohmann::json to_json(const typed_value& v);

/** Index just past the complete type that starts at pos in signature;
 *  throws std::invalid_argument when there is none. */
std::size_t complete_type_end(std::string_view signature, std::size_t pos);

/** Appends v to m; throws std::invalid_argument when the value does not
 *  fit its signature (m is then unusable). */
void append_value(sd_bus_message* m, const typed_value& v);
void append_variant(sd_bus_message* m, const typed_value& v);

/** Reads the next element of m, of whatever type it is. */
typed_value read_value(sd_bus_message* m);

/** All arguments of m as a JSON array of values; m is rewound before and
 *  after, so whoever handles it next reads it from the start. */
nlohmann::json read_arguments(sd_bus_message* m);

} // namespace simboard::peers
