#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The soak's judgements, apart from the running board: which daemon lines
// report errors, what a daemon's exit means to its supervisor, whether
// memory or descriptors grew and whether an update told the truth.
namespace simboard::soak
{

/** Whether a line a daemon wrote reports an error (failed calls, refused
 *  values, exceptions), as opposed to progress. */
bool reports_error(std::string_view line);

/** The line with each run of digits shown as "#", so that the same
 *  message about another bus or value counts as the same error. */
std::string error_key(std::string_view line);

/** How the supervisor treats an ended daemon, as Restart=on-failure does:
 *  a non-zero status or a crash restarts it; status 0 or a stop signal
 *  (SIGTERM, SIGINT, SIGHUP, SIGPIPE) leaves it ended, that is lost. */
enum class exit_kind
{
    failure,
    clean,
};
exit_kind classify_exit(int wait_status);
/** "status 3", "signal 11 (Segmentation fault)". */
std::string describe_exit(int wait_status);

/** Resident memory and open descriptors of one daemon process. */
struct usage
{
    pid_t pid = -1;
    long rss_kb = 0;
    long fds = 0;
};

/** Growth from `before` to `after` beyond the noise of a healthy daemon:
 *  memory by more than 256 kB and 3 %, descriptors by more than 2. A
 *  daemon restarted in between (another pid) or down at either sample
 *  shows no growth of its own. */
struct growth
{
    bool memory = false;
    bool descriptors = false;
};
growth judge_growth(const std::optional<usage>& before,
                    const std::optional<usage>& after);

/** Growth over a run's samples (start, each tenth, end), from the first
 *  sample after the warm-up (the first tenth) that is of the same process
 *  as the last one, to the last. Memory counts as grown only when it rose
 *  from sample to sample in at least half of that span, as a leak does: a
 *  heap that reached a new high-water mark once (a large image parsed, a
 *  first rescan) is no leak. */
growth judge_history(const std::vector<std::optional<usage>>& samples);

/** What the board showed after an update attempt had published its
 *  status. */
struct update_facts
{
    std::string status;                  // "UpdasteStatus" read back
    std::string announced;               // text of "set update status to"
    std::optional<std::string> expected; // the status the case must end in
    bool must_fail = false;              // a fault no success may hide
    bool flash_holds_image = false;      // configuration flash is the image
    bool usercode_matches = false;       // device usercode is the image's
    bool flash_unchanged = false;        // flash as before the attempt
    std::string owner;                   // "UpdatingOwner" afterwards
    std::string state;                   // "UpdatingState" afterwards
};

struct update_verdict
{
    /** The status agrees with the device: success only with the image in
     *  flash, a refused image leaves the flash alone. */
    bool honest = true;
    /** Owner "NONE" and state "OK" for "Update Complete", else "FAIL". */
    bool released = true;
    /** The status is the one the case calls for. */
    bool as_expected = true;
    /** Why not, for the report; empty when all hold. */
    std::vector<std::string> reasons;
};
update_verdict judge_update(const update_facts& facts);

inline constexpr std::string_view update_complete = "Update Complete";
inline constexpr std::string_view same_version =
    "The Same CPLD Version, Bypass Update";
inline constexpr std::string_view invalid_image =
    "Invalid Upload CPLD Firmware Error";

} // namespace simboard::soak
