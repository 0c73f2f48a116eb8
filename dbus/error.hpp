#pragma once

#include <systemd/sd-bus.h>

#include <exception>
#include <stdexcept>
#include <string>

namespace boost::asio
{
class io_context;
} // namespace boost::asio

namespace dbus
{

/** Failure of a bus operation or an error reply.
 *
 *  Carries the D-Bus error name (e.g. org.freedesktop.DBus.Error.Failed),
 *  its human readable message and the name of the operation that failed
 *  (e.g. "sd_bus_call"). Method handlers may throw it to send that exact
 *  error name and message back to the caller.
 */
class error : public std::exception
{
  public:
    /** From a negative errno returned by an sd-bus function. */
    error(int negative_errno, std::string operation);
    /** From a filled sd_bus_error (e.g. the result of sd_bus_call). */
    error(const sd_bus_error* err, std::string operation);
    /** From an explicit error name and message (for method handlers). */
    error(std::string name, std::string description,
          std::string operation = "");

    const std::string& name() const noexcept
    {
        return name_;
    }
    const std::string& description() const noexcept
    {
        return description_;
    }
    const std::string& operation() const noexcept
    {
        return operation_;
    }
    /** Positive errno equivalent of the error name. */
    int get_errno() const noexcept
    {
        return errno_;
    }
    /** "<operation>: <name>: <description>" */
    const char* what() const noexcept override
    {
        return what_.c_str();
    }

  private:
    void finish();

    std::string name_;
    std::string description_;
    std::string operation_;
    int errno_ = 0;
    std::string what_;
};

/** Leaves the owner's io_context::run() when this layer cannot go on: the
 *  bus connection is lost, or a callback the bus ran (async reply handler,
 *  match callback) threw, leaving its work half done. Its text is one line;
 *  the owner is expected to print it and end with a failure status. */
class loop_failure : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
};

namespace detail
{

/** Prints the exception in flight (call inside a catch block) as one line
 *  to stderr; for destructors, which have nobody to tell. */
void report_exception(const char* where) noexcept;

/** Shared by a connection and the callbacks the bus runs for it. Tripped
 *  once a callback throws or the bus is lost: the connection then dispatches
 *  nothing more, and io's run() throws loop_failure once the callback under
 *  way has returned (an exception never unwinds through sd-bus). */
class failure_latch
{
  public:
    explicit failure_latch(boost::asio::io_context& io) : io_(io) {}

    bool tripped() const noexcept
    {
        return tripped_;
    }
    /** Only the first failure counts: the rest follow from it. */
    void trip(std::string reason) noexcept;
    /** trip() with the exception in flight (call inside a catch block):
     *  "<where>: <what>". */
    void trip_with_exception(const char* where) noexcept;

  private:
    boost::asio::io_context& io_;
    bool tripped_ = false;
};

} // namespace detail

} // namespace dbus
