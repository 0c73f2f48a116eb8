#include "simboard/soak/report.hpp"

#include <algorithm>
#include <iomanip>

namespace simboard::soak
{

namespace
{

constexpr std::size_t errors_shown = 5;

std::string usage_text(const std::optional<usage>& sample)
{
    if (!sample)
    {
        return "down";
    }
    return "pid " + std::to_string(sample->pid) + " rss " +
           std::to_string(sample->rss_kb) + " kB fds " +
           std::to_string(sample->fds);
}

void print_daemon(std::ostream& out, const run_record& record,
                  const supervised& daemon)
{
    out << daemon.unit.name << "\n";
    const auto& samples = record.samples.at(daemon.unit.name);
    out << "  " << std::setw(6) << "at" << std::setw(9) << "pid"
        << std::setw(12) << "rss kB" << std::setw(6) << "fds"
        << "\n";
    for (std::size_t i = 0; i < samples.size(); ++i)
    {
        out << "  " << std::setw(6) << record.marks[i];
        if (samples[i])
        {
            out << std::setw(9) << samples[i]->pid << std::setw(12)
                << samples[i]->rss_kb << std::setw(6) << samples[i]->fds;
        }
        else
        {
            out << std::setw(9) << "down";
        }
        out << "\n";
    }
    out << "  errors seen: " << daemon.error_lines << " lines\n";
    std::vector<std::pair<std::size_t, std::string>> frequent;
    for (const auto& [key, count] : daemon.errors)
    {
        frequent.emplace_back(count, key);
    }
    std::ranges::sort(frequent, std::greater{});
    for (std::size_t i = 0; i < std::min(errors_shown, frequent.size()); ++i)
    {
        out << "    " << std::setw(6) << frequent[i].first << "  "
            << frequent[i].second << "\n";
    }
    out << "  restarts: " << daemon.restarts;
    for (const auto& exit : daemon.exits)
    {
        out << (&exit == &daemon.exits.front() ? " (ended with " : ", ")
            << exit;
    }
    out << (daemon.exits.empty() ? "" : ")") << "\n";
    out << "  answers at the end: "
        << (record.answers.at(daemon.unit.name) ? "yes" : "NO")
        << (daemon.lost ? " (lost: ended cleanly, not restarted)" : "") << "\n";
}

void print_updates(std::ostream& out, const update_tally& updates)
{
    out << "CPLD updates: " << updates.attempts << " attempts\n";
    for (const auto& [name, count] : updates.cases)
    {
        out << "  " << std::setw(4) << count << "  " << name << "\n";
    }
    out << "  ended with a status:\n";
    for (const auto& [status, count] : updates.statuses)
    {
        out << "  " << std::setw(4) << count << "  \"" << status << "\"\n";
    }
    out << "  ended without one:\n";
    for (const auto& [why, count] : updates.unfinished)
    {
        out << "  " << std::setw(4) << count << "  " << why << "\n";
    }
    unsigned finished = 0;
    for (const auto& entry : updates.statuses)
    {
        finished += entry.second;
    }
    out << "  ownership released: " << updates.released << " of " << finished
        << "\n";
    out << "  dishonest: " << updates.dishonest << " (no status in time "
        << updates.hung
        << "), interrupted by fwkeeper ending: " << updates.interrupted
        << ", status other than expected: " << updates.unexpected << "\n";
    for (const auto& problem : updates.problems)
    {
        out << "    " << problem << "\n";
    }
}

} // namespace

void print_progress(std::ostream& out, const std::string& mark, double minutes,
                    const run_record& record, std::vector<supervised>& daemons)
{
    out << "[" << std::setw(5) << mark << " " << std::fixed
        << std::setprecision(1) << minutes << " min]";
    for (auto& daemon : daemons)
    {
        out << " " << daemon.unit.name << ": "
            << usage_text(record.samples.at(daemon.unit.name).back())
            << ", errors " << daemon.error_lines << ", restarts "
            << daemon.restarts << ";";
    }
    out << std::endl;
}

bool print_report(std::ostream& out, const run_record& record,
                  std::vector<supervised>& daemons,
                  const board_actions& actions, const update_tally& updates)
{
    out << "\n";
    std::vector<std::string> grown;
    std::vector<std::string> lost;
    for (auto& daemon : daemons)
    {
        print_daemon(out, record, daemon);
        const growth g = judge_history(record.samples.at(daemon.unit.name));
        if (g.memory)
        {
            grown.push_back(daemon.unit.name + " memory");
        }
        if (g.descriptors)
        {
            grown.push_back(daemon.unit.name + " descriptors");
        }
        if (daemon.lost || !record.answers.at(daemon.unit.name))
        {
            lost.push_back(daemon.unit.name);
        }
    }
    out << "board actions (done, refused):\n";
    for (const auto& [name, count] : actions.counts())
    {
        out << "  " << std::setw(5) << count.done << std::setw(5)
            << count.refused << "  " << name << "\n";
    }
    out << "calls and commands the board received:\n";
    for (const auto& [call, count] : record.board_calls)
    {
        out << "  " << std::setw(5) << count << "  " << call << "\n";
    }
    print_updates(out, updates);

    auto list = [](const std::vector<std::string>& items) {
        std::string text;
        for (const auto& item : items)
        {
            text += (text.empty() ? "" : ", ") + item;
        }
        return text.empty() ? std::string("none") : text;
    };
    const bool pass = grown.empty() && lost.empty() && updates.dishonest == 0 &&
                      updates.unreleased == 0 && updates.interrupted == 0;
    out << "\nverdict: " << (pass ? "PASS" : "FAIL")
        << "; growth: " << list(grown) << "; daemons lost: " << list(lost)
        << "; dishonest updates: " << updates.dishonest
        << "; ownership not released: " << updates.unreleased
        << "; updates interrupted: " << updates.interrupted
        << "; unexpected statuses: " << updates.unexpected << std::endl;
    return pass;
}

} // namespace simboard::soak
