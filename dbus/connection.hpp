#pragma once

// Our D-Bus layer over sd-bus and Boost.Asio.
// Naming in dbus/ and platform/: lower_snake_case for types, functions,
// members, enumerators and parameters, except the names that stand in for
// outside libraries (getCapbilityFlags, i2cGet, convertPowerStateToString,
// convertTransitionToString and their enums).

#include "dbus/error.hpp"
#include "dbus/message.hpp"

#include <systemd/sd-bus.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

namespace dbus
{

/** A bus connection driven by a Boost.Asio io_context.
 *
 *  The bus fd is watched for the events sd-bus asks for and a timer runs
 *  its next timeout (so async call timeouts fire); each wake-up runs
 *  sd_bus_process until it is idle. When the connection is lost, or a
 *  reply handler or match callback throws, the connection dispatches
 *  nothing more and io_context::run() throws dbus::loop_failure right
 *  after: the owner ends there, with a failure status.
 *
 *  Create it with std::make_shared. One io_context thread only.
 */
class connection : public std::enable_shared_from_this<connection>
{
  public:
    /** Handler of a raw async reply: ec is 0 or a system-category errno. */
    using reply_handler =
        std::function<void(boost::system::error_code, message&)>;

    /** Opens the calling thread's default bus (sd_bus_default). sd-bus keeps
     *  one default bus per thread, so make only one such connection per
     *  thread at a time. */
    explicit connection(boost::asio::io_context& io);
    /** Takes ownership of an opened bus. */
    connection(boost::asio::io_context& io, sd_bus* bus);
    /** A new, independent connection to the bus at address (a second
     *  connection in the same process, e.g. for tests). */
    static std::shared_ptr<connection> open(boost::asio::io_context& io,
                                            const std::string& address);

    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;
    ~connection();

    /** Requests a well-known name; throws dbus::error naming
     *  "sd_bus_request_name" (e.g. when another connection owns it). */
    void request_name(const std::string& name);
    std::string unique_name() const;
    boost::asio::io_context& get_io_context() noexcept
    {
        return io_;
    }
    sd_bus* get_bus() const noexcept
    {
        return bus_;
    }
    /** Timeout of every method call made on this connection. */
    void set_method_call_timeout(std::chrono::microseconds timeout);

    message new_method_call(const std::string& service, const std::string& path,
                            const std::string& iface,
                            const std::string& member);
    /** Blocking call; throws dbus::error "sd_bus_call" carrying the error
     *  reply's name and message (or the local failure). */
    message call(message& m);

    /** A signal of `iface` from `path`, to append arguments to and send. */
    message new_signal(const std::string& path, const std::string& iface,
                       const std::string& member);
    /** Queues m for sending; throws dbus::error "sd_bus_send". */
    void send(message& m);
    template <typename... Args>
    void emit_signal(const std::string& path, const std::string& iface,
                     const std::string& member, const Args&... args)
    {
        message m = new_signal(path, iface, member);
        m.append(args...);
        send(m);
    }

    /** Blocking call returning Ret (void: reply ignored). Throws dbus::error
     *  on error reply, absent peer, timeout, or a reply not of type Ret. */
    template <typename Ret = void, typename... Args>
    Ret call_method(const std::string& service, const std::string& path,
                    const std::string& iface, const std::string& member,
                    const Args&... args)
    {
        message m = new_method_call(service, path, iface, member);
        m.append(args...);
        message reply = call(m);
        if constexpr (!std::is_void_v<Ret>)
        {
            return read_reply<Ret>(reply);
        }
    }

    /** Sends m and calls handler with the reply, or with an errno: for an
     *  error reply the errno of its name, for a failed send the failure.
     *  The handler is always called from the io_context, never inline, and
     *  not at all once the connection has failed (see the class comment). */
    void async_send(message& m, reply_handler handler);

    /** Asynchronous call. handler is void(error_code) for Ret = void, else
     *  void(error_code, Ret) with Ret default-constructed on error. A reply
     *  that is not of type Ret gives EBADMSG. */
    template <typename Ret = void, typename Handler, typename... Args>
    void async_method_call(Handler&& handler, const std::string& service,
                           const std::string& path, const std::string& iface,
                           const std::string& member, const Args&... args)
    {
        reply_handler wrapped =
            [handler = std::forward<Handler>(handler)](
                boost::system::error_code ec, message& reply) mutable {
                deliver_typed<Ret>(handler, ec, reply);
            };
        message m;
        try
        {
            m = new_method_call(service, path, iface, member);
            m.append(args...);
        }
        catch (const error& e)
        {
            post_failure(std::move(wrapped), e.get_errno());
            return;
        }
        async_send(m, std::move(wrapped));
    }

    /** Writes every queued outgoing message now, blocking until the bus has
     *  taken them: for handlers that keep the loop busy while peers must
     *  see what they send. Throws dbus::error "sd_bus_flush". */
    void flush();

    /** Queues a processing pass on the io_context. Done by this layer after
     *  everything it sends and after blocking calls (which leave incoming
     *  messages queued inside sd-bus while the fd looks idle). */
    void schedule_processing();

    /** Shared with the callbacks run for this connection (see
     *  detail::failure_latch). */
    const std::shared_ptr<detail::failure_latch>& latch() const noexcept
    {
        return latch_;
    }

    static boost::system::error_code make_error(int errno_value) noexcept
    {
        return {errno_value, boost::system::system_category()};
    }

  private:
    /** Calls handler with the reply read as Ret (see async_method_call). */
    template <typename Ret, typename Handler>
    static void deliver_typed(Handler& handler, boost::system::error_code ec,
                              message& reply)
    {
        if constexpr (std::is_void_v<Ret>)
        {
            handler(ec);
        }
        else
        {
            Ret value{};
            if (!ec)
            {
                try
                {
                    value = read_reply<Ret>(reply);
                }
                catch (const error&)
                {
                    ec = make_error(EBADMSG);
                    value = Ret{};
                }
            }
            handler(ec, std::move(value));
        }
    }

    void post_failure(reply_handler handler, int errno_value);
    void process();
    /** The bus is gone: stop processing and end the loop. */
    void lose(const char* call, int r);
    void watch();
    void watch_fd(bool write);
    void on_fd_ready(bool& watched, boost::system::error_code ec);
    void watch_timeout();

    boost::asio::io_context& io_;
    sd_bus* bus_;
    bool owns_bus_;
    boost::asio::posix::stream_descriptor descriptor_;
    boost::asio::steady_timer timer_;
    bool read_watched_ = false;
    bool write_watched_ = false;
    bool process_scheduled_ = false;
    std::shared_ptr<detail::failure_latch> latch_;
    /** Expires with the connection; posted work checks it. */
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

/** Opens a new bus connection, as a client of the bus at address, into
 *  `*bus`. Returns 0, or a negative errno with `*bus` left null. For code
 *  that needs a bare sd-bus connection (e.g. in a forked process). */
int open_bus(const std::string& address, sd_bus** bus) noexcept;

} // namespace dbus
