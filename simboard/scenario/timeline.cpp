#include "simboard/scenario/timeline.hpp"

#include <cstdio>
#include <exception>

namespace simboard::scenario
{

namespace
{

using clock = std::chrono::steady_clock;

std::string whole_seconds(std::chrono::milliseconds bound)
{
    return std::to_string((bound.count() + 999) / 1000) + " s";
}

/** Where one track stands. */
struct progress
{
    std::size_t next = 0;
    bool begun = false;
    clock::time_point since;
};

/** Advances one track by at most one step; a failure when its step was not
 *  seen. */
std::optional<failure> advance(track& steps, progress& at, const timeline& log)
{
    step& current = steps[at.next];
    try
    {
        if (!at.begun)
        {
            at.begun = true;
            at.since = clock::now();
            if (current.act)
            {
                if (std::string line = current.act(); !line.empty())
                {
                    log.say(line);
                }
            }
        }
        sight found = current.look();
        switch (found.what)
        {
            case sight::kind::seen:
                log.say(found.text);
                ++at.next;
                at.begun = false;
                return std::nullopt;
            case sight::kind::wrong:
                return failure{current.name, ": " + found.text};
            case sight::kind::pending:
                break;
        }
    }
    catch (const std::exception& e)
    {
        return failure{current.name, std::string(": ") + e.what()};
    }
    if (clock::now() - at.since > current.bound)
    {
        return failure{current.name, "within " + whole_seconds(current.bound)};
    }
    return std::nullopt;
}

} // namespace

void timeline::say(const std::string& text) const
{
    std::printf("[%5.1f s] %s\n", now(), text.c_str());
    std::fflush(stdout);
}

double timeline::now() const
{
    return std::chrono::duration<double>(clock::now() - start_).count();
}

std::optional<failure> run(
    std::vector<track> tracks, const timeline& log,
    const std::function<std::optional<std::string>()>& pause)
{
    std::vector<progress> at(tracks.size());
    for (;;)
    {
        bool finished = true;
        for (std::size_t i = 0; i < tracks.size(); ++i)
        {
            if (at[i].next == tracks[i].size())
            {
                continue;
            }
            finished = false;
            if (auto missed = advance(tracks[i], at[i], log))
            {
                return missed;
            }
        }
        if (finished)
        {
            return std::nullopt;
        }
        if (auto stop = pause())
        {
            for (std::size_t i = 0; i < tracks.size(); ++i)
            {
                if (at[i].next < tracks[i].size())
                {
                    return failure{tracks[i][at[i].next].name, ": " + *stop};
                }
            }
        }
    }
}

std::string describe(const failure& f)
{
    std::string gap = f.reason.starts_with(":") ? "" : " ";
    return "scenario FAILED: step \"" + f.step + "\" not seen" + gap + f.reason;
}

} // namespace simboard::scenario
