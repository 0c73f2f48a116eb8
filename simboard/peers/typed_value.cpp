#include "simboard/peers/typed_value.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace simboard::peers
{

namespace
{

using nlohmann::json;

[[noreturn]] void does_not_fit(std::string_view type, const json& value)
{
    throw std::invalid_argument(
        value.dump() + " is not a value of type '" + std::string(type) + "'");
}

void check(int r, const char* operation)
{
    if (r < 0)
    {
        throw std::invalid_argument(
            std::string(operation) + ": " + std::strerror(-r));
    }
}

/** Reading returns 0 at the end of a container: that is malformed too. */
void check_read(int r, const char* operation)
{
    check(r == 0 ? -ENXIO : r, operation);
}

bool is_string_type(char type)
{
    return type == 's' || type == 'o' || type == 'g';
}

template <typename T>
void append_integer(sd_bus_message* m, char type, const json& value)
{
    bool fits = false;
    if (value.is_number_unsigned())
    {
        fits = std::in_range<T>(value.get<uint64_t>());
    }
    else if (value.is_number_integer())
    {
        fits = std::in_range<T>(value.get<int64_t>());
    }
    if (!fits)
    {
        does_not_fit(std::string_view(&type, 1), value);
    }
    const T v = value.get<T>();
    check(sd_bus_message_append_basic(m, type, &v), "append");
}

void append(sd_bus_message* m, std::string_view type, const json& value);

void append_basic(sd_bus_message* m, char type, const json& value)
{
    switch (type)
    {
        case 'y':
            return append_integer<uint8_t>(m, type, value);
        case 'n':
            return append_integer<int16_t>(m, type, value);
        case 'q':
            return append_integer<uint16_t>(m, type, value);
        case 'i':
            return append_integer<int32_t>(m, type, value);
        case 'u':
            return append_integer<uint32_t>(m, type, value);
        case 'x':
            return append_integer<int64_t>(m, type, value);
        case 't':
            return append_integer<uint64_t>(m, type, value);
        default:
            break;
    }
    if (type == 'd' && value.is_number())
    {
        const double v = value.get<double>();
        check(sd_bus_message_append_basic(m, type, &v), "append");
    }
    else if (type == 'b' && value.is_boolean())
    {
        const int v = value.get<bool>() ? 1 : 0;
        check(sd_bus_message_append_basic(m, type, &v), "append");
    }
    else if (is_string_type(type) && value.is_string())
    {
        // sd-bus checks the syntax of object paths and signatures.
        const auto& text = value.get_ref<const std::string&>();
        if (sd_bus_message_append_basic(m, type, text.c_str()) < 0)
        {
            does_not_fit(std::string_view(&type, 1), value);
        }
    }
    else
    {
        does_not_fit(std::string_view(&type, 1), value);
    }
}

/** Dict keys are JSON object keys, i.e. text: "7" is the number 7. */
json dict_key(char key_type, const std::string& text)
{
    if (is_string_type(key_type))
    {
        return text;
    }
    json key = json::parse(text, nullptr, false);
    if (key.is_discarded())
    {
        does_not_fit(std::string_view(&key_type, 1), text);
    }
    return key;
}

void append_dict(sd_bus_message* m, std::string_view entry, const json& value)
{
    // entry is "{KV}": one basic key type and one complete value type.
    const std::string_view value_type = entry.substr(2, entry.size() - 3);
    if (!value.is_object() || complete_type_end(entry, 2) != entry.size() - 1)
    {
        does_not_fit("a" + std::string(entry), value);
    }
    const std::string contents(entry.substr(1, entry.size() - 2));
    for (const auto& [key, item] : value.items())
    {
        check(sd_bus_message_open_container(m, 'e', contents.c_str()),
              "open dict entry");
        append_basic(m, entry[1], dict_key(entry[1], key));
        append(m, value_type, item);
        check(sd_bus_message_close_container(m), "close dict entry");
    }
}

void append_struct(sd_bus_message* m, std::string_view type, const json& value)
{
    const std::string_view members = type.substr(1, type.size() - 2);
    if (!value.is_array())
    {
        does_not_fit(type, value);
    }
    std::size_t pos = 0;
    for (const json& member : value)
    {
        if (pos >= members.size())
        {
            does_not_fit(type, value);
        }
        const std::size_t end = complete_type_end(members, pos);
        append(m, members.substr(pos, end - pos), member);
        pos = end;
    }
    if (pos != members.size())
    {
        does_not_fit(type, value);
    }
}

void append(sd_bus_message* m, std::string_view type, const json& value)
{
    if (complete_type_end(type, 0) != type.size())
    {
        throw std::invalid_argument(
            "'" + std::string(type) + "' is not one complete type");
    }
    const std::string contents(type.substr(1));
    switch (type[0])
    {
        case 'a':
            check(sd_bus_message_open_container(m, 'a', contents.c_str()),
                  "open array");
            if (contents[0] == '{')
            {
                append_dict(m, contents, value);
            }
            else if (value.is_array())
            {
                for (const json& item : value)
                {
                    append(m, contents, item);
                }
            }
            else
            {
                does_not_fit(type, value);
            }
            break;
        case '(':
            check(sd_bus_message_open_container(
                      m, 'r', contents.substr(0, contents.size() - 1).c_str()),
                  "open struct");
            append_struct(m, type, value);
            break;
        case 'v':
            append_variant(m, parse_typed_value(value));
            return;
        default:
            append_basic(m, type[0], value);
            return;
    }
    check(sd_bus_message_close_container(m), "close container");
}

template <typename T>
json read_number(sd_bus_message* m, char type)
{
    T v{};
    check_read(sd_bus_message_read_basic(m, type, &v), "read");
    return v;
}

json read_json(sd_bus_message* m);

json read_container(sd_bus_message* m, char type, const char* contents)
{
    check_read(sd_bus_message_enter_container(m, type, contents), "enter");
    json out = json::array();
    if (type == 'v')
    {
        out = json::array({contents, read_json(m)});
    }
    else if (type == 'a' && contents[0] == '{')
    {
        out = json::object();
        while (sd_bus_message_peek_type(m, nullptr, nullptr) > 0)
        {
            const json entry = read_json(m);
            const json& key = entry.at(0);
            out[key.is_string() ? key.get<std::string>() : key.dump()] =
                entry.at(1);
        }
    }
    else
    {
        while (sd_bus_message_peek_type(m, nullptr, nullptr) > 0)
        {
            out.push_back(read_json(m));
        }
    }
    check(sd_bus_message_exit_container(m), "exit");
    return out;
}

json read_json(sd_bus_message* m)
{
    char type = 0;
    const char* contents = nullptr;
    check_read(sd_bus_message_peek_type(m, &type, &contents), "peek");
    switch (type)
    {
        case 'y':
            return read_number<uint8_t>(m, type);
        case 'n':
            return read_number<int16_t>(m, type);
        case 'q':
            return read_number<uint16_t>(m, type);
        case 'i':
            return read_number<int32_t>(m, type);
        case 'u':
            return read_number<uint32_t>(m, type);
        case 'x':
            return read_number<int64_t>(m, type);
        case 't':
            return read_number<uint64_t>(m, type);
        case 'd':
            return read_number<double>(m, type);
        case 'b':
            return read_number<int>(m, type) != 0;
        case 's':
        case 'o':
        case 'g':
        {
            const char* text = nullptr;
            check_read(sd_bus_message_read_basic(m, type, &text), "read");
            return text;
        }
        default:
            return read_container(m, type, contents);
    }
}

std::string signature_of_next(sd_bus_message* m)
{
    char type = 0;
    const char* contents = nullptr;
    check_read(sd_bus_message_peek_type(m, &type, &contents), "peek");
    switch (type)
    {
        case 'a':
            return std::string("a") + contents;
        case 'r':
            return std::string("(") + contents + ")";
        case 'e':
            return std::string("{") + contents + "}";
        default:
            return std::string(1, type);
    }
}

} // namespace

typed_value parse_typed_value(const json& j)
{
    if (j.is_string())
    {
        return {"s", j};
    }
    if (!j.is_array() || j.size() != 2 || !j[0].is_string())
    {
        throw std::invalid_argument(
            "expected \"text\" or [signature, value], got " + j.dump());
    }
    return {j[0].get<std::string>(), j[1]};
}

json to_json(const typed_value& v)
{
    return json::array({v.signature, v.value});
}

std::size_t complete_type_end(std::string_view signature, std::size_t pos)
{
    if (pos >= signature.size())
    {
        throw std::invalid_argument(
            "incomplete signature '" + std::string(signature) + "'");
    }
    const char c = signature[pos];
    if (c == 'a')
    {
        return complete_type_end(signature, pos + 1);
    }
    if (c != '(' && c != '{')
    {
        return pos + 1;
    }
    const char close = c == '(' ? ')' : '}';
    ++pos;
    while (pos < signature.size() && signature[pos] != close)
    {
        pos = complete_type_end(signature, pos);
    }
    if (pos >= signature.size())
    {
        throw std::invalid_argument(
            "unbalanced signature '" + std::string(signature) + "'");
    }
    return pos + 1;
}

void append_value(sd_bus_message* m, const typed_value& v)
{
    if (v.signature.empty())
    {
        throw std::invalid_argument("empty signature");
    }
    append(m, v.signature, v.value);
}

void append_variant(sd_bus_message* m, const typed_value& v)
{
    check(sd_bus_message_open_container(m, 'v', v.signature.c_str()),
          ("open variant '" + v.signature + "'").c_str());
    append_value(m, v);
    check(sd_bus_message_close_container(m), "close variant");
}

typed_value read_value(sd_bus_message* m)
{
    std::string signature = signature_of_next(m);
    return {std::move(signature), read_json(m)};
}

json read_arguments(sd_bus_message* m)
{
    check(sd_bus_message_rewind(m, 1), "rewind");
    json out = json::array();
    while (sd_bus_message_peek_type(m, nullptr, nullptr) > 0)
    {
        out.push_back(read_json(m));
    }
    check(sd_bus_message_rewind(m, 1), "rewind");
    return out;
}

} // namespace simboard::peers
