#include "simboard/soak/cpld_updates.hpp"

#include "dbus/properties.hpp"
#include "simboard/fixture/time_scale.hpp"

#include <array>
#include <cstdio>
#include <string_view>
#include <variant>

namespace simboard::soak
{

namespace
{

using namespace std::chrono_literals;

constexpr const char* service = "xyz.openbmc_project.Software.CPLD.Mgr";
constexpr const char* board_service =
    "xyz.openbmc_project.TARNproperties.Manager";
constexpr const char* board_path = "/xyz/openbmc_project/TARNproperties/mgr";
constexpr std::uint8_t cpld_address = 0x40;
constexpr std::string_view part = "LCMXO3LF-2100C";
constexpr std::string_view other_part = "LCMXO2-2000HC";
const auto attempt_bound = scaled(180s);
constexpr auto release_bound = 5s;
constexpr std::size_t problems_kept = 12;

constexpr std::string_view released_line = "set update status to ";
constexpr std::string_view unreadable = "(unreadable: ";

// Lines with which an attempt ends before any status is published.
constexpr std::array<std::string_view, 6> refusals{
    "There's other's updating",  "Cannot power off",
    "Cannot get power status",   "cannot get updating owner",
    "cannot set updating owner", "Since that i don't get the permission"};

// An I2C fault on one configuration command and the status it must give.
struct command_fault
{
    std::string_view name;
    std::uint8_t command;
    std::string_view status;
};

constexpr std::array<command_fault, 5> command_faults{{
    {"enable NACKed", 0x74, "Enable Configuration Error"},
    {"erase NACKed", 0x0E, "Erase Configuration Error"},
    {"page write NACKed", 0x70, "Program Firmware Error"},
    {"done flag NACKed", 0x5E, "Set Program Done Error"},
    {"usercode NACKed", 0xC2, "Set Usercode Error"},
}};

constexpr std::uint8_t idcode_command = 0xE0;

const jedec::part_size& size_of(std::string_view name)
{
    return *jedec::find_part_size(name);
}

std::uint32_t image_usercode(const jedec::image& image)
{
    // "UH" and eight hexadecimal digits.
    return static_cast<std::uint32_t>(
        std::stoul(image.usercode.substr(2), nullptr, 16));
}

} // namespace

cpld_updates::cpld_updates(board& sim, supervisor& daemons,
                           std::mt19937& random) :
    sim_(sim),
    daemons_(daemons), random_(random),
    targets_{{"/xyz/openbmc_project/software/cpld/mbcpld", 7,
              "/tmp/cpld/images/cpld_image.bin", std::nullopt},
             {"/xyz/openbmc_project/software/cpld/bpncpld", 16,
              "/tmp/bpncpld/images/bpn_cpld_image.bin", std::nullopt},
             {"/xyz/openbmc_project/software/cpld/bpncpld2", 17,
              "/tmp/bpncpld/images/bpn_cpld_image.bin", std::nullopt}}
{}

unsigned cpld_updates::pick(unsigned count)
{
    return std::uniform_int_distribution<unsigned>(0, count - 1)(random_);
}

cpld_updates::attempt cpld_updates::prepare(target& device)
{
    char usercode[9];
    std::snprintf(usercode, sizeof(usercode), "%08x",
                  static_cast<unsigned>(random_()));
    attempt next{&device,
                 "good image",
                 jedec::random_image(size_of(part), usercode, random_()),
                 std::string(update_complete),
                 false,
                 flash_digest(device),
                 -1,
                 clock_type::now() + attempt_bound};
    std::string text = jedec::jed_text(next.image);
    vary(next, text, usercode);
    sim_.write_file(device.image_path, text);
    return next;
}

void cpld_updates::vary(attempt& next, std::string& text, const char* usercode)
{
    target& device = *next.device;
    switch (pick(12))
    {
        case 0:
        case 1:
        case 2:
            break;
        case 3:
            reuse_held_image(next, text);
            break;
        case 4:
            next.name = "good image, device id NACKed once";
            sim_.i2c().nack_nth_command(device.bus, cpld_address,
                                        idcode_command, 1);
            break;
        case 5:
            corrupt(next, text);
            break;
        case 6:
            next.name = "corrupt image: cut short";
            // Somewhere before the end-of-text mark.
            text.resize(pick(static_cast<unsigned>(text.find('\x03'))));
            next.expected = std::string(invalid_image);
            break;
        case 7:
            next.name = "image of another device";
            next.image =
                jedec::random_image(size_of(other_part), usercode, random_());
            text = jedec::jed_text(next.image);
            next.expected = std::string(invalid_image);
            break;
        case 8:
            next.name = "device silent";
            sim_.i2c().set_silent(device.bus, cpld_address, true);
            next.expected.reset();
            next.must_fail = true;
            break;
        default:
            inject_command_fault(next);
    }
}

void cpld_updates::reuse_held_image(attempt& next, std::string& text)
{
    if (next.device->held)
    {
        next.name = "image already held";
        next.image = *next.device->held;
        next.expected = std::string(same_version);
        text = jedec::jed_text(next.image);
    }
}

void cpld_updates::corrupt(attempt& next, std::string& text)
{
    next.name = "corrupt image: checksum";
    text = jedec::jed_text(
        next.image,
        {.checksum_offset = static_cast<std::uint16_t>(1 + pick(0xfffe))});
    next.expected = std::string(invalid_image);
}

void cpld_updates::inject_command_fault(attempt& next)
{
    const auto& fault = command_faults[pick(command_faults.size())];
    next.name = std::string(fault.name);
    const unsigned nth = fault.command == 0x70
                             ? 1 + pick(static_cast<unsigned>(
                                       jedec::flash_rows(next.image).size()))
                             : 1;
    sim_.i2c().nack_nth_command(next.device->bus, cpld_address, fault.command,
                                nth);
    next.expected = std::string(fault.status);
    next.must_fail = true;
}

void cpld_updates::start()
{
    auto& fwkeeper = daemons_.daemon("fwkeeper");
    if (!fwkeeper.process)
    {
        return; // down, waiting for its restart
    }
    target& device = targets_[pick(targets_.size())];
    ++tally_.attempts;
    // Half of the attempts find the host running and power it off first.
    if (pick(2) == 0)
    {
        try
        {
            sim_.client().call_method(
                "xyz.openbmc_project.SimBoard",
                "/xyz/openbmc_project/simboard/chassis",
                "xyz.openbmc_project.SimBoard.Chassis", "SetProperty",
                "CurrentPowerState",
                std::variant<std::string>(
                    "xyz.openbmc_project.State.Chassis.PowerState.On"));
        }
        catch (const dbus::error&)
        {
            // The peers are away: the Update call will be refused.
        }
    }
    attempt_ = prepare(device);
    attempt_->daemon_pid = fwkeeper.process->pid();
    ++tally_.cases[attempt_->name];
    const unsigned serial = tally_.attempts;
    sim_.client().async_method_call(
        [this, serial](boost::system::error_code ec) {
            if (ec && attempt_ && tally_.attempts == serial)
            {
                finish_unfinished("Update refused: " + ec.message());
            }
        },
        service, device.object, service, "Update");
}

void cpld_updates::follow()
{
    if (!attempt_)
    {
        return;
    }
    auto& fwkeeper = daemons_.daemon("fwkeeper");
    for (const auto& line : fwkeeper.fresh)
    {
        if (line.text.starts_with(released_line))
        {
            finish_with_status(line.text.substr(released_line.size()));
            return;
        }
        for (auto refusal : refusals)
        {
            if (line.text.starts_with(refusal))
            {
                finish_unfinished(std::string(refusal));
                return;
            }
        }
    }
    if (!fwkeeper.process || fwkeeper.process->pid() != attempt_->daemon_pid)
    {
        ++tally_.interrupted;
        problem(attempt_->name + " on " + attempt_->device->object +
                ": fwkeeper ended before a status");
        finish_unfinished("fwkeeper ended during the attempt");
    }
    else if (clock_type::now() > attempt_->deadline)
    {
        ++tally_.hung;
        ++tally_.dishonest;
        problem(attempt_->name + " on " + attempt_->device->object +
                ": no status after " + std::to_string(attempt_bound.count()) +
                " s");
        finish_unfinished("no status in time");
    }
}

void cpld_updates::finish_unfinished(const std::string& why)
{
    ++tally_.unfinished[why];
    // Nobody but the attempts of this run takes the board: one that ends
    // without a status must leave it free too. (Away peers cannot tell.)
    const std::string owner = board_property("UpdatingOwner");
    if (owner != "NONE" && !owner.starts_with(unreadable))
    {
        ++tally_.unreleased;
        problem(attempt_->name + " on " + attempt_->device->object + ": " +
                why + ", board left owned by \"" + owner + "\"");
    }
    attempt_->device->held.reset();
    end_attempt();
    free_board();
}

void cpld_updates::end_attempt()
{
    sim_.i2c().clear_faults(attempt_->device->bus, cpld_address);
    // The transaction log would otherwise grow by every page of every
    // update for the whole run.
    sim_.i2c().clear_log();
    attempt_.reset();
}

void cpld_updates::finish_with_status(const std::string& announced)
{
    attempt& done = *attempt_;
    target& device = *done.device;
    update_facts facts;
    facts.announced = announced;
    facts.expected = done.expected;
    facts.must_fail = done.must_fail;
    try
    {
        facts.status = dbus::get_property<std::string>(
            sim_.client(), {service, device.object, service, "UpdasteStatus"});
    }
    catch (const dbus::error& e)
    {
        // fwkeeper ended right after its release: judge what it announced.
        ++tally_.interrupted;
        problem(done.name + " on " + device.object +
                ": status unreadable after the release: " + e.what());
        facts.status = announced;
    }
    facts.flash_holds_image = flash_holds(device, done.image);
    facts.usercode_matches =
        sim_.i2c().machxo(device.bus, cpld_address).usercode ==
        image_usercode(done.image);
    facts.flash_unchanged = flash_digest(device) == done.flash_before;
    const std::string wanted_state =
        facts.status == update_complete ? "OK" : "FAIL";
    wait_until(
        [&] {
            facts.owner = board_property("UpdatingOwner");
            facts.state = board_property("UpdatingState");
            return facts.owner == "NONE" && facts.state == wanted_state;
        },
        release_bound);

    const update_verdict verdict = judge_update(facts);
    ++tally_.statuses[announced];
    tally_.released += verdict.released ? 1 : 0;
    tally_.unreleased += verdict.released ? 0 : 1;
    tally_.dishonest += verdict.honest ? 0 : 1;
    tally_.unexpected += verdict.as_expected ? 0 : 1;
    for (const auto& reason : verdict.reasons)
    {
        problem(done.name + " on " + device.object + ": \"" + announced +
                "\": " + reason);
    }
    const bool holds = facts.flash_holds_image && facts.usercode_matches;
    device.held = holds ? std::optional(done.image) : std::nullopt;
    end_attempt();
    if (!verdict.released)
    {
        free_board();
    }
}

void cpld_updates::problem(const std::string& text)
{
    if (tally_.problems.size() < problems_kept)
    {
        tally_.problems.push_back(text);
    }
}

// Gives the board back as its other parties would, so that one attempt
// that left it owned does not refuse all later ones.
void cpld_updates::free_board()
{
    try
    {
        for (const auto& [name, value] :
             {std::pair{"UpdatingOwner", "NONE"}, {"UpdatingState", "OK"}})
        {
            dbus::set_property(sim_.client(),
                               {board_service, board_path, board_service, name},
                               std::string(value));
        }
    }
    catch (const dbus::error&)
    {
        // The peers are away and come back with the board free.
    }
}

std::string cpld_updates::board_property(const std::string& name)
{
    try
    {
        return dbus::get_property<std::string>(
            sim_.client(), {board_service, board_path, board_service, name});
    }
    catch (const dbus::error& e)
    {
        return std::string(unreadable) + e.what() + ")";
    }
}

std::uint64_t cpld_updates::flash_digest(const target& device)
{
    // FNV-1a over every page, the usercode and the done flag.
    std::uint64_t digest = 14695981039346656037ULL;
    auto mix = [&](std::uint8_t byte) {
        digest = (digest ^ byte) * 1099511628211ULL;
    };
    const machxo_info info = sim_.i2c().machxo(device.bus, cpld_address);
    for (std::uint32_t page = 0; page < info.config_pages + info.user_pages;
         ++page)
    {
        for (std::uint8_t byte :
             sim_.i2c().read_flash_page(device.bus, cpld_address, page))
        {
            mix(byte);
        }
    }
    for (int shift = 0; shift < 32; shift += 8)
    {
        mix(static_cast<std::uint8_t>(info.usercode >> shift));
    }
    mix(info.done ? 1 : 0);
    return digest;
}

bool cpld_updates::flash_holds(const target& device, const jedec::image& image)
{
    const auto rows = jedec::flash_rows(image);
    for (std::size_t page = 0; page < rows.size(); ++page)
    {
        const auto stored = sim_.i2c().read_flash_page(
            device.bus, cpld_address, static_cast<std::uint32_t>(page));
        const auto expected = jedec::row_bytes(rows[page]);
        if (!std::equal(stored.begin(), stored.end(), expected.begin(),
                        expected.end()))
        {
            return false;
        }
    }
    return true;
}

} // namespace simboard::soak
