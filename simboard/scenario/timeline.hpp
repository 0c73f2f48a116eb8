#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace simboard::scenario
{

/** Prints what happens, one line each, with the time since the start:
 *  "[ 12.4 s] text". */
class timeline
{
  public:
    timeline() : start_(std::chrono::steady_clock::now()) {}

    void say(const std::string& text) const;
    /** Seconds since the start. */
    double now() const;

  private:
    std::chrono::steady_clock::time_point start_;
};

/** What one look at a step found. */
struct sight
{
    enum class kind
    {
        pending,
        seen,
        wrong,
    };
    kind what = kind::pending;
    /** The timeline line when seen; why not, when wrong. */
    std::string text;

    static sight pending()
    {
        return {};
    }
    static sight seen(std::string line)
    {
        return {kind::seen, std::move(line)};
    }
    static sight wrong(std::string why)
    {
        return {kind::wrong, std::move(why)};
    }
};

/** One thing the scenario does and then waits to see. `act` runs once when
 *  the step begins and returns the line telling what it did (empty: none);
 *  `look` is then called on every round until it sees the outcome, finds a
 *  wrong one, or `bound` has passed since the step began. An exception from
 *  either fails the step with its text. */
struct step
{
    std::string name;
    std::chrono::milliseconds bound;
    std::function<std::string()> act;
    std::function<sight()> look;
};

/** Steps that follow each other. Tracks run side by side. */
using track = std::vector<step>;

/** The first step that was not seen, and why. */
struct failure
{
    std::string step;
    std::string reason;
};

/** Runs the tracks side by side until every step was seen or one was not
 *  (the run stops at once then). Between two rounds `pause` lets time pass
 *  and the board's traffic in; it returns a reason to stop (e.g. a daemon
 *  ended), which fails the first unfinished step. */
std::optional<failure> run(
    std::vector<track> tracks, const timeline& log,
    const std::function<std::optional<std::string>()>& pause);

/** "scenario FAILED: step "<name>" not seen <reason>" */
std::string describe(const failure& f);

} // namespace simboard::scenario
