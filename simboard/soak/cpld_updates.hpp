#pragma once

#include "simboard/fixture/board.hpp"
#include "simboard/jedec/jedec_file.hpp"
#include "simboard/soak/judge.hpp"
#include "simboard/soak/supervisor.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace simboard::soak
{

/** What the CPLD updates of a soak came to. */
struct update_tally
{
    unsigned attempts = 0;
    std::map<std::string, unsigned> cases;
    /** Attempts that published a status, by that status. */
    std::map<std::string, unsigned> statuses;
    /** Attempts that ended without one: refused calls, a board found
     *  owned, a daemon that ended meanwhile, no end in time. */
    std::map<std::string, unsigned> unfinished;
    unsigned released = 0;
    unsigned dishonest = 0;
    unsigned unreleased = 0;
    unsigned unexpected = 0;
    /** Attempts that never ended: counted as dishonest too. */
    unsigned hung = 0;
    /** Attempts whose status went with fwkeeper, which ended meanwhile. */
    unsigned interrupted = 0;
    /** One line per problem, the first ones only. */
    std::vector<std::string> problems;
};

/** CPLD updates through fwkeeper, one at a time, with good images, the
 *  image the device already holds, corrupt images and injected I2C
 *  faults. Each attempt that publishes a status is checked against the
 *  device and the board's ownership properties. */
class cpld_updates
{
  public:
    cpld_updates(board& sim, supervisor& daemons, std::mt19937& random);

    bool running() const
    {
        return attempt_.has_value();
    }
    /** Uploads an image, arms the case's fault and calls Update. */
    void start();
    /** Follows the running attempt through fwkeeper's latest lines. */
    void follow();
    const update_tally& tally() const
    {
        return tally_;
    }

  private:
    struct target
    {
        std::string object;
        unsigned bus;
        std::string image_path;
        std::optional<jedec::image> held; // known content of its flash
    };
    struct attempt
    {
        target* device;
        std::string name;
        jedec::image image;
        std::optional<std::string> expected;
        bool must_fail = false;
        std::uint64_t flash_before = 0;
        pid_t daemon_pid = -1;
        clock_type::time_point deadline;
    };

    /** The next attempt on `device`: its case picked, its image
     *  uploaded, its fault armed. */
    attempt prepare(target& device);
    /** Turns a good image's attempt into the case picked. */
    void vary(attempt& next, std::string& text, const char* usercode);
    void reuse_held_image(attempt& next, std::string& text);
    void corrupt(attempt& next, std::string& text);
    void inject_command_fault(attempt& next);
    void finish_with_status(const std::string& announced);
    void finish_unfinished(const std::string& why);
    void end_attempt();
    void problem(const std::string& text);
    void free_board();
    std::string board_property(const std::string& name);
    std::uint64_t flash_digest(const target& device);
    bool flash_holds(const target& device, const jedec::image& image);
    unsigned pick(unsigned count);

    board& sim_;
    supervisor& daemons_;
    std::mt19937& random_;
    std::vector<target> targets_;
    std::optional<attempt> attempt_;
    update_tally tally_;
};

} // namespace simboard::soak
