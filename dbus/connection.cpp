#include "dbus/connection.hpp"

#include <poll.h>
#include <time.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace dbus
{

namespace
{

sd_bus* open_default_bus()
{
    sd_bus* bus = nullptr;
    const int r = sd_bus_default(&bus);
    if (r < 0)
    {
        throw error(r, "sd_bus_default");
    }
    return bus;
}

uint64_t monotonic_usec()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000U +
           static_cast<uint64_t>(now.tv_nsec) / 1000U;
}

int reply_errno(sd_bus_message* reply)
{
    if (sd_bus_message_is_method_error(reply, nullptr) <= 0)
    {
        return 0;
    }
    const int e = sd_bus_message_get_errno(reply);
    return e > 0 ? e : EIO;
}

/** An async call's handler and its connection's failure latch. */
struct pending_reply
{
    std::shared_ptr<detail::failure_latch> latch;
    connection::reply_handler handler;
};

/** Runs a reply handler, unless its connection has failed; what it throws
 *  trips the latch. */
void deliver(const pending_reply& pending, boost::system::error_code ec,
             message& reply) noexcept
{
    if (pending.latch->tripped())
    {
        return;
    }
    try
    {
        pending.handler(ec, reply);
    }
    catch (...)
    {
        pending.latch->trip_with_exception("async call handler");
    }
}

int on_reply(sd_bus_message* reply, void* userdata, sd_bus_error* /*err*/)
{
    message msg(reply);
    deliver(*static_cast<pending_reply*>(userdata),
            connection::make_error(reply_errno(reply)), msg);
    return 0;
}

void delete_pending_reply(void* userdata)
{
    delete static_cast<pending_reply*>(userdata);
}

} // namespace

connection::connection(boost::asio::io_context& io) :
    connection(io, open_default_bus())
{
    owns_bus_ = false;
}

connection::connection(boost::asio::io_context& io, sd_bus* bus) :
    io_(io), bus_(bus), owns_bus_(true), descriptor_(io), timer_(io),
    latch_(std::make_shared<detail::failure_latch>(io))
{
    try
    {
        const int fd = sd_bus_get_fd(bus_);
        if (fd < 0)
        {
            throw error(fd, "sd_bus_get_fd");
        }
        // Fails (EEXIST) if this bus is already watched by this io_context.
        descriptor_.assign(fd);
    }
    catch (...)
    {
        descriptor_.release();
        sd_bus_unref(bus_);
        throw;
    }
    schedule_processing();
}

std::shared_ptr<connection> connection::open(boost::asio::io_context& io,
                                             const std::string& address)
{
    sd_bus* bus = nullptr;
    const int r = open_bus(address, &bus);
    if (r < 0)
    {
        throw error(r, "sd_bus_start");
    }
    return std::make_shared<connection>(io, bus);
}

int open_bus(const std::string& address, sd_bus** bus) noexcept
{
    *bus = nullptr;
    int r = sd_bus_new(bus);
    if (r >= 0)
    {
        r = sd_bus_set_address(*bus, address.c_str());
    }
    if (r >= 0)
    {
        r = sd_bus_set_bus_client(*bus, 1);
    }
    if (r >= 0)
    {
        r = sd_bus_start(*bus);
    }
    if (r < 0)
    {
        *bus = sd_bus_unref(*bus);
    }
    return r;
}

connection::~connection()
{
    try
    {
        timer_.cancel();
    }
    catch (...)
    {
        detail::report_exception("~connection");
    }
    // The fd belongs to sd-bus: stop watching it, never close it here.
    descriptor_.release();
    if (owns_bus_)
    {
        sd_bus_flush_close_unref(bus_);
    }
    else
    {
        // Others in this thread may share the default bus: leave it open
        // for them; it closes with its last reference.
        sd_bus_flush(bus_);
        sd_bus_unref(bus_);
    }
}

void connection::flush()
{
    const int r = sd_bus_flush(bus_);
    if (r < 0)
    {
        throw error(r, "sd_bus_flush");
    }
}

void connection::request_name(const std::string& name)
{
    const int r = sd_bus_request_name(bus_, name.c_str(), 0);
    schedule_processing();
    if (r < 0)
    {
        throw error(r, "sd_bus_request_name");
    }
}

std::string connection::unique_name() const
{
    const char* name = nullptr;
    const int r = sd_bus_get_unique_name(bus_, &name);
    if (r < 0)
    {
        throw error(r, "sd_bus_get_unique_name");
    }
    return name;
}

void connection::set_method_call_timeout(std::chrono::microseconds timeout)
{
    const int r = sd_bus_set_method_call_timeout(
        bus_, static_cast<uint64_t>(timeout.count()));
    if (r < 0)
    {
        throw error(r, "sd_bus_set_method_call_timeout");
    }
}

message connection::new_method_call(
    const std::string& service, const std::string& path,
    const std::string& iface, const std::string& member)
{
    sd_bus_message* m = nullptr;
    const int r = sd_bus_message_new_method_call(
        bus_, &m, service.c_str(), path.c_str(),
        iface.empty() ? nullptr : iface.c_str(), member.c_str());
    if (r < 0)
    {
        throw error(r, "sd_bus_message_new_method_call");
    }
    return message::adopt(m);
}

message connection::new_signal(const std::string& path,
                               const std::string& iface,
                               const std::string& member)
{
    sd_bus_message* m = nullptr;
    const int r = sd_bus_message_new_signal(bus_, &m, path.c_str(),
                                            iface.c_str(), member.c_str());
    if (r < 0)
    {
        throw error(r, "sd_bus_message_new_signal");
    }
    return message::adopt(m);
}

void connection::send(message& m)
{
    const int r = sd_bus_send(bus_, m.get(), nullptr);
    if (r < 0)
    {
        throw error(r, "sd_bus_send");
    }
    schedule_processing();
}

message connection::call(message& m)
{
    sd_bus_error err{}; // SD_BUS_ERROR_NULL, without the C compound literal
    sd_bus_message* reply = nullptr;
    const int r = sd_bus_call(bus_, m.get(), 0, &err, &reply);
    // Whatever arrived meanwhile waits inside sd-bus, not on the fd.
    schedule_processing();
    if (r < 0)
    {
        const error failure = sd_bus_error_is_set(&err)
                                  ? error(&err, "sd_bus_call")
                                  : error(r, "sd_bus_call");
        sd_bus_error_free(&err);
        throw failure;
    }
    return message::adopt(reply);
}

void connection::async_send(message& m, reply_handler handler)
{
    auto pending = std::make_unique<pending_reply>(
        pending_reply{latch_, std::move(handler)});
    sd_bus_slot* slot = nullptr;
    const int r =
        sd_bus_call_async(bus_, &slot, m.get(), on_reply, pending.get(), 0);
    if (r < 0)
    {
        post_failure(std::move(pending->handler), -r);
        return;
    }
    // The bus owns the pending call from here on; the handler goes with
    // the slot after the reply or when the bus is freed.
    sd_bus_slot_set_destroy_callback(slot, delete_pending_reply);
    pending.release();
    sd_bus_slot_set_floating(slot, 1);
    sd_bus_slot_unref(slot);
    schedule_processing();
}

void connection::post_failure(reply_handler handler, int errno_value)
{
    boost::asio::post(io_, [pending = pending_reply{latch_, std::move(handler)},
                            errno_value]() {
        message none;
        deliver(pending, make_error(errno_value), none);
    });
}

void connection::schedule_processing()
{
    if (process_scheduled_ || latch_->tripped())
    {
        return;
    }
    process_scheduled_ = true;
    boost::asio::post(io_, [this, alive = std::weak_ptr<int>(alive_)]() {
        if (alive.expired())
        {
            return;
        }
        process_scheduled_ = false;
        process();
    });
}

void connection::process()
{
    int r = 0;
    while (!latch_->tripped() && (r = sd_bus_process(bus_, nullptr)) > 0)
    {}
    if (latch_->tripped())
    {
        return;
    }
    if (r < 0)
    {
        lose("sd_bus_process", r);
        return;
    }
    watch();
}

void connection::lose(const char* call, int r)
{
    // The fd of a lost connection stays readable: the tripped latch stops
    // watching it.
    latch_->trip(std::string("D-Bus connection lost: ") + call + ": " +
                 std::strerror(-r));
}

void connection::watch()
{
    const int events = sd_bus_get_events(bus_);
    if (events < 0)
    {
        lose("sd_bus_get_events", events);
        return;
    }
    if ((events & POLLIN) != 0 && !read_watched_)
    {
        watch_fd(false);
    }
    if ((events & POLLOUT) != 0 && !write_watched_)
    {
        watch_fd(true);
    }
    watch_timeout();
}

void connection::watch_fd(bool write)
{
    bool& watched = write ? write_watched_ : read_watched_;
    watched = true;
    descriptor_.async_wait(
        write ? boost::asio::posix::descriptor_base::wait_write
              : boost::asio::posix::descriptor_base::wait_read,
        [this, &watched,
         alive = std::weak_ptr<int>(alive_)](boost::system::error_code ec) {
            if (!alive.expired())
            {
                on_fd_ready(watched, ec);
            }
        });
}

void connection::on_fd_ready(bool& watched, boost::system::error_code ec)
{
    watched = false;
    if (!ec)
    {
        process();
    }
}

void connection::watch_timeout()
{
    uint64_t deadline = UINT64_MAX;
    if (sd_bus_get_timeout(bus_, &deadline) < 0 || deadline == UINT64_MAX)
    {
        timer_.cancel();
        return;
    }
    const uint64_t now = monotonic_usec();
    timer_.expires_after(
        std::chrono::microseconds(deadline > now ? deadline - now : 0));
    timer_.async_wait([this, alive = std::weak_ptr<int>(alive_)](
                          boost::system::error_code ec) {
        if (!alive.expired() && !ec)
        {
            process();
        }
    });
}

} // namespace dbus
