#pragma once

#include <utility>

namespace fwkeeper
{

// Guards one step of an update request (the method body or one reply
// handler). Unless the step handed the request on to a reply still to come,
// leaving the step in any way runs `end`: by return, and by exception while
// it unwinds, that is before the exception leaves the step.
template <typename End>
class request_step
{
  public:
    explicit request_step(End end) : end(std::move(end)) {}
    request_step(const request_step&) = delete;
    request_step& operator=(const request_step&) = delete;
    ~request_step()
    {
        if (!handed_on)
        {
            end();
        }
    }

    // The next step runs in the reply to a call just sent, which always
    // comes (a call that cannot be sent is answered with its error).
    void hand_on() noexcept
    {
        handed_on = true;
    }

  private:
    End end;
    bool handed_on = false;
};

} // namespace fwkeeper
