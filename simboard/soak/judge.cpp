#include "simboard/soak/judge.hpp"

#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <csignal>
#include <cstring>

namespace simboard::soak
{

namespace
{

// Words of the daemons' error lines, in lower case.
constexpr std::array<std::string_view, 19> error_words{
    "error",       "fail",      "cannot",    "can't",       "unable",
    "not allowed", "denied",    "exception", "timed out",   "timeout",
    "missing",     "invalid",   "stopped",   "not support", "other's updating",
    "permission",  "different", "not ok",    "be canceled"};

std::string lower(std::string_view text)
{
    std::string out(text);
    std::ranges::transform(out, out.begin(), [](unsigned char c) {
        return static_cast<char>(std::tolower(c));
    });
    return out;
}

constexpr long memory_noise_kb = 256;
constexpr long memory_noise_percent = 3;
constexpr long descriptor_noise = 2;

long memory_tolerance(const usage& base)
{
    return std::max(memory_noise_kb, base.rss_kb * memory_noise_percent / 100);
}

std::string device_disagrees(const update_facts& facts)
{
    if (facts.status == update_complete &&
        !(facts.flash_holds_image && facts.usercode_matches))
    {
        return "success reported but the device does not hold the image";
    }
    if (facts.status == same_version && !facts.flash_holds_image)
    {
        return "same version reported but the device holds another image";
    }
    if (facts.status == invalid_image && !facts.flash_unchanged)
    {
        return "image refused but the flash was changed";
    }
    if (facts.must_fail &&
        (facts.status == update_complete || facts.status == same_version))
    {
        return "a fault passed unreported";
    }
    return {};
}

} // namespace

bool reports_error(std::string_view line)
{
    const std::string text = lower(line);
    return std::ranges::any_of(error_words, [&](std::string_view word) {
        return text.find(word) != std::string::npos;
    });
}

std::string error_key(std::string_view line)
{
    std::string key;
    bool in_number = false;
    for (char c : line)
    {
        bool digit = std::isdigit(static_cast<unsigned char>(c)) != 0;
        if (!digit)
        {
            key += c;
        }
        else if (!in_number)
        {
            key += '#';
        }
        in_number = digit;
    }
    return key;
}

exit_kind classify_exit(int wait_status)
{
    if (WIFEXITED(wait_status))
    {
        return WEXITSTATUS(wait_status) == 0 ? exit_kind::clean
                                             : exit_kind::failure;
    }
    if (WIFSIGNALED(wait_status))
    {
        switch (WTERMSIG(wait_status))
        {
            case SIGTERM:
            case SIGINT:
            case SIGHUP:
            case SIGPIPE:
                return exit_kind::clean;
            default:
                return exit_kind::failure;
        }
    }
    return exit_kind::failure;
}

std::string describe_exit(int wait_status)
{
    if (WIFEXITED(wait_status))
    {
        return "status " + std::to_string(WEXITSTATUS(wait_status));
    }
    if (WIFSIGNALED(wait_status))
    {
        int sig = WTERMSIG(wait_status);
        return "signal " + std::to_string(sig) + " (" + strsignal(sig) + ")";
    }
    return "wait status " + std::to_string(wait_status);
}

growth judge_growth(const std::optional<usage>& before,
                    const std::optional<usage>& after)
{
    if (!before || !after || before->pid != after->pid)
    {
        return {};
    }
    return {after->rss_kb - before->rss_kb > memory_tolerance(*before),
            after->fds - before->fds > descriptor_noise};
}

growth judge_history(const std::vector<std::optional<usage>>& samples)
{
    if (samples.size() < 2 || !samples.back())
    {
        return {};
    }
    const auto& last = samples.back();
    std::size_t first = 1;
    while (first + 1 < samples.size() &&
           !(samples[first] && samples[first]->pid == last->pid))
    {
        ++first;
    }
    if (first + 1 >= samples.size())
    {
        return {};
    }
    growth g = judge_growth(samples[first], last);
    std::size_t rises = 0;
    for (std::size_t i = first; i + 1 < samples.size(); ++i)
    {
        const bool present = samples[i] && samples[i + 1];
        rises += present && samples[i + 1]->rss_kb > samples[i]->rss_kb ? 1 : 0;
    }
    g.memory = g.memory && 2 * rises >= samples.size() - 1 - first;
    return g;
}

update_verdict judge_update(const update_facts& facts)
{
    update_verdict verdict;
    if (facts.status != facts.announced)
    {
        verdict.honest = false;
        verdict.reasons.push_back(
            "published \"" + facts.status + "\" but announced \"" +
            facts.announced + "\"");
    }
    if (auto reason = device_disagrees(facts); !reason.empty())
    {
        verdict.honest = false;
        verdict.reasons.push_back(reason);
    }
    const std::string wanted_state =
        facts.status == update_complete ? "OK" : "FAIL";
    if (facts.owner != "NONE" || facts.state != wanted_state)
    {
        verdict.released = false;
        verdict.reasons.push_back("board left at owner \"" + facts.owner +
                                  "\", state \"" + facts.state + "\"");
    }
    if (facts.expected && facts.status != *facts.expected)
    {
        verdict.as_expected = false;
        verdict.reasons.push_back("expected \"" + *facts.expected + "\"");
    }
    return verdict;
}

} // namespace simboard::soak
