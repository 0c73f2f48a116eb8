#include "dbus/error.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace dbus
{

error::error(int negative_errno, std::string operation) :
    operation_(std::move(operation))
{
    sd_bus_error err{}; // SD_BUS_ERROR_NULL, without the C compound literal
    sd_bus_error_set_errno(&err, negative_errno);
    name_ = err.name != nullptr ? err.name : "";
    description_ = err.message != nullptr ? err.message : "";
    sd_bus_error_free(&err);
    finish();
}

error::error(const sd_bus_error* err, std::string operation) :
    name_(err->name != nullptr ? err->name : ""),
    description_(err->message != nullptr ? err->message : ""),
    operation_(std::move(operation))
{
    finish();
}

error::error(std::string name, std::string description, std::string operation) :
    name_(std::move(name)), description_(std::move(description)),
    operation_(std::move(operation))
{
    finish();
}

void error::finish()
{
    if (name_.empty())
    {
        name_ = SD_BUS_ERROR_FAILED;
    }
    const sd_bus_error err{name_.c_str(), nullptr, 0};
    errno_ = sd_bus_error_get_errno(&err);
    if (errno_ <= 0)
    {
        errno_ = EIO;
    }
    what_ = operation_ + ": " + name_ + ": " + description_;
}

} // namespace dbus

namespace dbus::detail
{

void report_exception(const char* where) noexcept
{
    try
    {
        throw;
    }
    catch (const std::exception& e)
    {
        std::fprintf(stderr, "dbus: %s: uncaught exception: %s\n", where,
                     e.what());
    }
    catch (...)
    {
        std::fprintf(stderr, "dbus: %s: uncaught exception\n", where);
    }
}

void failure_latch::trip(std::string reason) noexcept
{
    if (tripped_)
    {
        return;
    }
    tripped_ = true;
    boost::asio::post(io_, [reason = std::move(reason)]() {
        throw loop_failure(reason);
    });
}

void failure_latch::trip_with_exception(const char* where) noexcept
{
    try
    {
        throw;
    }
    catch (const std::exception& e)
    {
        trip(std::string(where) + ": " + e.what());
    }
    catch (...)
    {
        trip(std::string(where) + ": unknown exception");
    }
}

} // namespace dbus::detail
