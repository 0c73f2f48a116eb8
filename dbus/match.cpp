#include "dbus/match.hpp"

#include <utility>

namespace dbus
{

struct match::state
{
    std::shared_ptr<detail::failure_latch> latch;
    sd_bus_slot* slot = nullptr;
    std::shared_ptr<callback> cb;
};

int match::on_match(sd_bus_message* m, void* userdata, sd_bus_error* /*err*/)
{
    // Copies: the callback may destroy the match and with it the state.
    const auto& current = *static_cast<match::state*>(userdata);
    const std::shared_ptr<match::callback> cb = current.cb;
    const std::shared_ptr<detail::failure_latch> latch = current.latch;
    if (latch->tripped())
    {
        return 0; // another callback of this message failed
    }
    message msg(m);
    try
    {
        (*cb)(msg);
    }
    catch (...)
    {
        latch->trip_with_exception("match callback");
    }
    return 0;
}

match::match(connection& conn, const std::string& rule, callback cb) :
    state_(std::make_unique<state>(conn.latch()))
{
    state_->cb = std::make_shared<callback>(std::move(cb));
    const int r = sd_bus_add_match(conn.get_bus(), &state_->slot, rule.c_str(),
                                   on_match, state_.get());
    conn.schedule_processing();
    if (r < 0)
    {
        throw error(r, "sd_bus_add_match");
    }
}

match::match(match&&) noexcept = default;

match& match::operator=(match&& other) noexcept
{
    if (this != &other)
    {
        release();
        state_ = std::move(other.state_);
    }
    return *this;
}

match::~match()
{
    release();
}

void match::release() noexcept
{
    if (state_)
    {
        sd_bus_slot_unref(state_->slot);
        state_.reset();
    }
}

} // namespace dbus
