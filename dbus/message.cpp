#include "dbus/message.hpp"

#include <cerrno>
#include <utility>

namespace dbus
{

namespace detail
{

namespace
{

int check(int r, const char* operation)
{
    if (r < 0)
    {
        throw error(r, operation);
    }
    return r;
}

/** sd-bus returns 0 when asked to read past the end of a container. */
void check_read(int r)
{
    check(r == 0 ? -ENXIO : r, "sd_bus_message_read");
}

} // namespace

void append_basic(sd_bus_message* m, char type, const void* value)
{
    check(sd_bus_message_append_basic(m, type, value), "sd_bus_message_append");
}

void open_container(sd_bus_message* m, char type, const char* contents)
{
    check(sd_bus_message_open_container(m, type, contents),
          "sd_bus_message_open_container");
}

void close_container(sd_bus_message* m)
{
    check(sd_bus_message_close_container(m), "sd_bus_message_close_container");
}

void enter_container(sd_bus_message* m, char type, const char* contents)
{
    check_read(sd_bus_message_enter_container(m, type, contents));
}

void exit_container(sd_bus_message* m)
{
    check(sd_bus_message_exit_container(m), "sd_bus_message_read");
}

void read_basic(sd_bus_message* m, char type, void* value)
{
    check_read(sd_bus_message_read_basic(m, type, value));
}

bool at_end_of_container(sd_bus_message* m)
{
    return check(sd_bus_message_at_end(m, 0), "sd_bus_message_read") > 0;
}

std::pair<char, std::string> peek_type(sd_bus_message* m)
{
    char type = 0;
    const char* contents = nullptr;
    check_read(sd_bus_message_peek_type(m, &type, &contents));
    return {type, contents != nullptr ? contents : ""};
}

void skip(sd_bus_message* m, const char* types)
{
    check(sd_bus_message_skip(m, types), "sd_bus_message_read");
}

} // namespace detail

namespace
{

std::string or_empty(const char* text)
{
    return text != nullptr ? text : "";
}

} // namespace

message::message(sd_bus_message* m) : msg_(sd_bus_message_ref(m)) {}

message message::adopt(sd_bus_message* m) noexcept
{
    message out;
    out.msg_ = m;
    return out;
}

message::message(const message& other) : msg_(sd_bus_message_ref(other.msg_)) {}

message::message(message&& other) noexcept :
    msg_(std::exchange(other.msg_, nullptr))
{}

message& message::operator=(message other) noexcept
{
    std::swap(msg_, other.msg_);
    return *this;
}

message::~message()
{
    sd_bus_message_unref(msg_);
}

std::pair<char, std::string> message::peek_type()
{
    return detail::peek_type(msg_);
}

std::string message::member() const
{
    return or_empty(sd_bus_message_get_member(msg_));
}

std::string message::interface() const
{
    return or_empty(sd_bus_message_get_interface(msg_));
}

std::string message::path() const
{
    return or_empty(sd_bus_message_get_path(msg_));
}

std::string message::sender() const
{
    return or_empty(sd_bus_message_get_sender(msg_));
}

std::string message::signature() const
{
    return or_empty(sd_bus_message_get_signature(msg_, 1));
}

bool message::is_method_error() const
{
    return sd_bus_message_is_method_error(msg_, nullptr) > 0;
}

std::string message::error_name() const
{
    const sd_bus_error* err = sd_bus_message_get_error(msg_);
    return err != nullptr ? or_empty(err->name) : "";
}

} // namespace dbus
