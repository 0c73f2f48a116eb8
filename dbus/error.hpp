#pragma once

#include <systemd/sd-bus.h>

#include <exception>
#include <string>

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

namespace detail
{

/** Prints the exception in flight (call inside a catch block) as one line
 *  to stderr: how a callback's exception is reported where the bus calls
 *  it, so that it never unwinds through sd-bus or the event loop. */
void report_exception(const char* where) noexcept;

} // namespace detail

} // namespace dbus
