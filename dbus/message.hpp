#pragma once

#include "dbus/error.hpp"

#include <systemd/sd-bus.h>

#include <boost/container/flat_map.hpp>

#include <compare>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace dbus
{

/** A D-Bus object path ('o'), kept apart from plain strings ('s'). */
struct object_path
{
    std::string str;

    object_path() = default;
    explicit object_path(std::string path) : str(std::move(path)) {}
    explicit object_path(const char* path) : str(path) {}

    auto operator<=>(const object_path&) const = default;
};

namespace detail
{

/** A signature built at compile time; chars is NUL terminated. */
template <std::size_t N>
struct sig_string
{
    char chars[N + 1] = {};

    constexpr const char* c_str() const
    {
        return chars;
    }
};

template <std::size_t N>
constexpr sig_string<N - 1> literal(const char (&text)[N])
{
    sig_string<N - 1> out;
    for (std::size_t i = 0; i < N; ++i)
    {
        out.chars[i] = text[i];
    }
    return out;
}

template <std::size_t... Ns>
constexpr sig_string<(Ns + ... + 0)> concat(const sig_string<Ns>&... parts)
{
    sig_string<(Ns + ... + 0)> out;
    std::size_t pos = 0;
    [[maybe_unused]] auto put = [&](const auto& part) {
        for (std::size_t i = 0; part.chars[i] != '\0'; ++i)
        {
            out.chars[pos++] = part.chars[i];
        }
    };
    (put(parts), ...);
    return out;
}

// Thin checked wrappers around the sd-bus message calls; each throws
// dbus::error naming the failed call.
void append_basic(sd_bus_message* m, char type, const void* value);
void open_container(sd_bus_message* m, char type, const char* contents);
void close_container(sd_bus_message* m);
/** Enters a container of exactly this type and contents or throws. */
void enter_container(sd_bus_message* m, char type, const char* contents);
void exit_container(sd_bus_message* m);
/** Reads a basic value of exactly this type or throws. */
void read_basic(sd_bus_message* m, char type, void* value);
bool at_end_of_container(sd_bus_message* m);
/** Type char and contents signature of the next element; throws at end. */
std::pair<char, std::string> peek_type(sd_bus_message* m);
void skip(sd_bus_message* m, const char* types);

/** codec<T>: signature `sig`, `append(m, value)` and `read(m, value)`.
 *  Only the specialisations below exist: any other type fails to compile.
 */
template <typename T>
struct codec;

template <typename T, char Type>
struct basic_codec
{
    static constexpr sig_string<1> sig{{Type, '\0'}};

    static void append(sd_bus_message* m, const T& value)
    {
        append_basic(m, Type, &value);
    }
    static void read(sd_bus_message* m, T& value)
    {
        read_basic(m, Type, &value);
    }
};

template <>
struct codec<uint8_t> : basic_codec<uint8_t, 'y'>
{};
template <>
struct codec<int16_t> : basic_codec<int16_t, 'n'>
{};
template <>
struct codec<uint16_t> : basic_codec<uint16_t, 'q'>
{};
template <>
struct codec<int32_t> : basic_codec<int32_t, 'i'>
{};
template <>
struct codec<uint32_t> : basic_codec<uint32_t, 'u'>
{};
template <>
struct codec<int64_t> : basic_codec<int64_t, 'x'>
{};
template <>
struct codec<uint64_t> : basic_codec<uint64_t, 't'>
{};
template <>
struct codec<double> : basic_codec<double, 'd'>
{};

template <>
struct codec<bool>
{
    static constexpr auto sig = literal("b");

    static void append(sd_bus_message* m, bool value)
    {
        const int wire = value ? 1 : 0;
        append_basic(m, 'b', &wire);
    }
    static void read(sd_bus_message* m, bool& value)
    {
        int wire = 0;
        read_basic(m, 'b', &wire);
        value = wire != 0;
    }
};

template <typename T, char Type>
struct string_codec
{
    static constexpr sig_string<1> sig{{Type, '\0'}};

    static void read(sd_bus_message* m, T& value)
    {
        const char* text = nullptr;
        read_basic(m, Type, static_cast<void*>(&text));
        value = T(text);
    }
};

template <>
struct codec<std::string> : string_codec<std::string, 's'>
{
    static void append(sd_bus_message* m, const std::string& value)
    {
        append_basic(m, 's', value.c_str());
    }
};

/** String literals are sent as 's'; they cannot be read into. */
template <>
struct codec<const char*>
{
    static constexpr auto sig = literal("s");

    static void append(sd_bus_message* m, const char* value)
    {
        append_basic(m, 's', value);
    }
};

template <>
struct codec<object_path> : string_codec<object_path, 'o'>
{
    static void append(sd_bus_message* m, const object_path& value)
    {
        append_basic(m, 'o', value.str.c_str());
    }
};

template <typename K, typename V>
void append_entry(sd_bus_message* m, const K& key, const V& value)
{
    static constexpr auto contents = concat(codec<K>::sig, codec<V>::sig);
    open_container(m, 'e', contents.c_str());
    codec<K>::append(m, key);
    codec<V>::append(m, value);
    close_container(m);
}

template <typename K, typename V>
void read_entry(sd_bus_message* m, K& key, V& value)
{
    static constexpr auto contents = concat(codec<K>::sig, codec<V>::sig);
    enter_container(m, 'e', contents.c_str());
    codec<K>::read(m, key);
    codec<V>::read(m, value);
    exit_container(m);
}

/** A pair is a dict entry: only meaningful as an array element. */
template <typename K, typename V>
struct codec<std::pair<K, V>>
{
    static constexpr auto sig =
        concat(literal("{"), codec<K>::sig, codec<V>::sig, literal("}"));

    static void append(sd_bus_message* m, const std::pair<K, V>& entry)
    {
        append_entry(m, entry.first, entry.second);
    }
    static void read(sd_bus_message* m, std::pair<K, V>& entry)
    {
        read_entry(m, entry.first, entry.second);
    }
};

template <typename T>
struct codec<std::vector<T>>
{
    static constexpr auto sig = concat(literal("a"), codec<T>::sig);

    static void append(sd_bus_message* m, const std::vector<T>& values)
    {
        open_container(m, 'a', codec<T>::sig.c_str());
        for (const auto& value : values)
        {
            codec<T>::append(m, value);
        }
        close_container(m);
    }
    static void read(sd_bus_message* m, std::vector<T>& values)
    {
        values.clear();
        enter_container(m, 'a', codec<T>::sig.c_str());
        while (!at_end_of_container(m))
        {
            T value{};
            codec<T>::read(m, value);
            values.push_back(std::move(value));
        }
        exit_container(m);
    }
};

/** std::map and flat_map: a{KV}. A repeated key keeps its first value. */
template <typename Map>
struct dict_codec
{
    using key_type = typename Map::key_type;
    using mapped_type = typename Map::mapped_type;
    static constexpr auto sig =
        concat(literal("a"), codec<std::pair<key_type, mapped_type>>::sig);

    static void append(sd_bus_message* m, const Map& values)
    {
        open_container(m, 'a', sig.c_str() + 1);
        for (const auto& [key, value] : values)
        {
            append_entry(m, key, value);
        }
        close_container(m);
    }
    static void read(sd_bus_message* m, Map& values)
    {
        values.clear();
        enter_container(m, 'a', sig.c_str() + 1);
        while (!at_end_of_container(m))
        {
            key_type key{};
            mapped_type value{};
            read_entry(m, key, value);
            values.emplace(std::move(key), std::move(value));
        }
        exit_container(m);
    }
};

template <typename K, typename V, typename C, typename A>
struct codec<std::map<K, V, C, A>> : dict_codec<std::map<K, V, C, A>>
{};
template <typename K, typename V, typename C, typename A>
struct codec<boost::container::flat_map<K, V, C, A>> :
    dict_codec<boost::container::flat_map<K, V, C, A>>
{};

/** std::tuple is a D-Bus struct: (...). */
template <typename... Ts>
struct codec<std::tuple<Ts...>>
{
    static constexpr auto contents = concat(codec<Ts>::sig...);
    static constexpr auto sig = concat(literal("("), contents, literal(")"));

    static void append(sd_bus_message* m, const std::tuple<Ts...>& values)
    {
        open_container(m, 'r', contents.c_str());
        std::apply([m](const auto&... v) { (codec<Ts>::append(m, v), ...); },
                   values);
        close_container(m);
    }
    static void read(sd_bus_message* m, std::tuple<Ts...>& values)
    {
        enter_container(m, 'r', contents.c_str());
        std::apply([m](auto&... v) { (codec<Ts>::read(m, v), ...); }, values);
        exit_container(m);
    }
};

/** std::variant is a D-Bus variant: v.
 *
 *  Reading: the alternative whose signature equals the contained value's
 *  signature exactly is read (the first such one). When none matches, the
 *  contained value is skipped and the result is alternative 0,
 *  default-constructed. Alternative 0 is therefore the designated fallback:
 *  e.g. std::variant<std::vector<std::string>, ...> reads any unexpected
 *  type as an empty list and std::variant<std::string> reads a non-string
 *  as "". Only a next element that is not a variant at all throws.
 */
template <typename... Ts>
struct codec<std::variant<Ts...>>
{
    static constexpr auto sig = literal("v");

    static void append(sd_bus_message* m, const std::variant<Ts...>& value)
    {
        std::visit(
            [m](const auto& v) {
                using alt = std::remove_cvref_t<decltype(v)>;
                open_container(m, 'v', codec<alt>::sig.c_str());
                codec<alt>::append(m, v);
                close_container(m);
            },
            value);
    }

    static void read(sd_bus_message* m, std::variant<Ts...>& value)
    {
        const auto [type, contents] = peek_type(m);
        if (type != 'v')
        {
            throw error(-ENXIO, "sd_bus_message_read");
        }
        if (!read_matching<0>(m, contents, value))
        {
            skip(m, "v");
            value.template emplace<0>();
        }
    }

  private:
    template <std::size_t I>
    static bool read_matching(sd_bus_message* m, const std::string& contents,
                              std::variant<Ts...>& value)
    {
        if constexpr (I == sizeof...(Ts))
        {
            return false;
        }
        else
        {
            using alt = std::variant_alternative_t<I, std::variant<Ts...>>;
            if (contents != codec<alt>::sig.c_str())
            {
                return read_matching<I + 1>(m, contents, value);
            }
            enter_container(m, 'v', contents.c_str());
            codec<alt>::read(m, value.template emplace<I>());
            exit_container(m);
            return true;
        }
    }
};

template <typename T>
struct is_tuple : std::false_type
{};
template <typename... Ts>
struct is_tuple<std::tuple<Ts...>> : std::true_type
{};

/** The type a value is stored and sent as (string literals → string). */
template <typename T>
using value_t =
    std::conditional_t<std::is_same_v<std::decay_t<T>, const char*> ||
                           std::is_same_v<std::decay_t<T>, char*>,
                       std::string, std::decay_t<T>>;

} // namespace detail

/** D-Bus signature of the C++ types in sequence, e.g.
 *  signature_v<std::map<object_path, std::vector<std::string>>> is
 *  "a{oas}". */
template <typename... Ts>
inline constexpr auto signature_of =
    detail::concat(detail::codec<detail::value_t<Ts>>::sig...);

template <typename... Ts>
inline constexpr const char* signature_v = signature_of<Ts...>.c_str();

/** Reference counted sd_bus_message.
 *
 *  Supported types: bool, uint8_t, int16_t, uint16_t, int32_t, uint32_t,
 *  int64_t, uint64_t, double, std::string, object_path, std::vector<T>,
 *  std::map<K,V>, boost::container::flat_map<K,V>, std::tuple<...> (struct),
 *  std::pair<K,V> (dict entry, inside a vector) and std::variant<...> (see
 *  codec<std::variant> above for how unexpected contents are read).
 *  Reading a value of another type throws dbus::error.
 */
class message
{
  public:
    message() = default;
    /** Shares m: takes a new reference. */
    explicit message(sd_bus_message* m);
    /** Takes over the caller's reference to m. */
    static message adopt(sd_bus_message* m) noexcept;

    message(const message& other);
    message(message&& other) noexcept;
    message& operator=(message other) noexcept;
    ~message();

    sd_bus_message* get() const noexcept
    {
        return msg_;
    }
    explicit operator bool() const noexcept
    {
        return msg_ != nullptr;
    }

    template <typename... Args>
    message& append(const Args&... args)
    {
        (detail::codec<detail::value_t<Args>>::append(msg_, args), ...);
        return *this;
    }

    template <typename... Ts>
    void read(Ts&... values)
    {
        (detail::codec<Ts>::read(msg_, values), ...);
    }

    template <typename T>
    T read()
    {
        T value{};
        read(value);
        return value;
    }

    /** Type char of the next element and, for containers, its contents
     *  signature (for 'v': the signature of the value inside). */
    std::pair<char, std::string> peek_type();

    std::string member() const;
    std::string interface() const;
    std::string path() const;
    std::string sender() const;
    /** Complete signature of the message body. */
    std::string signature() const;
    bool is_method_error() const;
    std::string error_name() const;

  private:
    sd_bus_message* msg_ = nullptr;
};

/** Reads a method reply as Ret. A std::tuple Ret accepts several out
 *  arguments as well as one struct. Throws dbus::error when the reply's
 *  signature is not the one of Ret. */
template <typename Ret>
Ret read_reply(message& reply)
{
    const std::string actual = reply.signature();
    Ret value{};
    if constexpr (detail::is_tuple<Ret>::value)
    {
        if (actual == detail::codec<Ret>::contents.c_str())
        {
            std::apply([&reply](auto&... v) { reply.read(v...); }, value);
            return value;
        }
    }
    if (actual != signature_v<Ret>)
    {
        throw error("org.freedesktop.DBus.Error.InvalidSignature",
                    "expected reply '" + std::string(signature_v<Ret>) +
                        "', got '" + actual + "'",
                    "sd_bus_message_read");
    }
    reply.read(value);
    return value;
}

} // namespace dbus
