// fwkeeper on the sample board: the main-board CPLD on bus 7 and the two
// backplane CPLDs on buses 16 and 17, all at 0x40; both backplane CPLDs are
// updated from one uploaded image, whose usercode is 2b000103. The chassis
// answers two power state reads with On before it is off.
#include "dbus/match.hpp"
#include "simboard/fixture/time_scale.hpp"
#include "simboard/scenario/sample_tracks.hpp"

#include <cstdio>
#include <map>
#include <memory>
#include <stdexcept>

namespace simboard::scenario
{

namespace
{

using namespace std::chrono_literals;

constexpr const char* service = "xyz.openbmc_project.Software.CPLD.Mgr";
constexpr const char* cpld_path = "/xyz/openbmc_project/software/cpld/";
constexpr const char* image = "/tmp/bpncpld/images/bpn_cpld_image.bin";
constexpr const char* updated_version = "2B000103";
constexpr uint8_t cpld_address = 0x40;
// The power-off wait reads the power state up to 16 times, 1 s apart.
constexpr auto power_off_wait = 16s;
// After a completed update the daemon sleeps 3 s before the reload.
constexpr auto reload_delay = 3s;

/** One CPLD object and the bus its device is on. */
struct cpld
{
    const char* object;
    unsigned bus;
};
constexpr cpld updated{"bpncpld2", 17};
constexpr cpld refused{"bpncpld", 16};

/** A device as the emulator holds it. */
struct device_state
{
    machxo_info info;
    std::vector<flash_page> flash;
    std::size_t transfers = 0;
};

/** What the track learns on its way: the versions first published, the
 *  replies to Update, the announced property values, the updated device's
 *  reloads before its update and the other device before the refused
 *  one. */
struct cpld_watch
{
    explicit cpld_watch(dbus::connection& bus) :
        changes(bus,
                std::string("type='signal',sender='") + service +
                    "',interface='org.freedesktop.DBus.Properties',member="
                    "'PropertiesChanged'",
                [this](dbus::message& m) { record(m); })
    {}

    void record(dbus::message& m)
    {
        std::string iface;
        std::map<std::string, std::variant<std::string>> changed;
        m.read(iface, changed);
        for (const auto& [name, value] : changed)
        {
            announced[m.path()][name] = std::get<std::string>(value);
        }
    }

    std::string announced_value(const std::string& object,
                                const std::string& name) const
    {
        auto at = announced.find(cpld_path + object);
        if (at == announced.end() || !at->second.contains(name))
        {
            return {};
        }
        return at->second.at(name);
    }

    std::map<std::string, std::string> versions;
    std::map<std::string, std::string> replies;
    std::map<std::string, std::map<std::string, std::string>> announced;
    uint32_t reloads = 0;
    device_state before;
    std::string good_image;
    dbus::match changes;
};

std::string hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

device_state snapshot(session& s, const cpld& c)
{
    device_state state;
    state.info = s.sim.i2c().machxo(c.bus, cpld_address);
    for (uint32_t page = 0;
         page < state.info.config_pages + state.info.user_pages; ++page)
    {
        state.flash.push_back(
            s.sim.i2c().read_flash_page(c.bus, cpld_address, page));
    }
    state.transfers = s.sim.i2c().log({c.bus, cpld_address}).size();
    return state;
}

/** What differs between two states of a device; empty when nothing. */
std::string difference(const device_state& was, const device_state& is)
{
    const auto& a = was.info;
    const auto& b = is.info;
    if (a.usercode != b.usercode)
    {
        return "usercode " + hex(a.usercode) + " became " + hex(b.usercode);
    }
    if (a.done != b.done || a.config_mode != b.config_mode ||
        a.fail != b.fail || a.refresh_count != b.refresh_count)
    {
        return "its done, configuration mode, fail or reload state changed";
    }
    if (was.flash != is.flash)
    {
        return "its flash changed";
    }
    if (was.transfers != is.transfers)
    {
        return std::to_string(is.transfers - was.transfers) +
               " I2C transfers reached it";
    }
    return {};
}

/** The image with one fuse of its first row flipped: its checksum no
 *  longer matches. */
std::string corrupted(std::string jed)
{
    auto rows = jed.find("\nL");
    auto fuse = rows == std::string::npos
                    ? rows
                    : jed.find_first_of("01", jed.find('\n', rows + 1));
    if (fuse == std::string::npos)
    {
        throw std::runtime_error("no fuse rows in the uploaded image");
    }
    jed[fuse] = jed[fuse] == '0' ? '1' : '0';
    return jed;
}

/** Calls Update on the object, whose values announced so far (those of
 *  its start) are forgotten. */
void call_update(session& s, const std::shared_ptr<cpld_watch>& w,
                 const std::string& object)
{
    w->announced.erase(cpld_path + object);
    s.bus().async_method_call(
        [w, object](boost::system::error_code ec) {
            w->replies[object] = ec ? ec.message() : "";
        },
        service, cpld_path + object, service, "Update");
}

/** Seen when the object announces `expected` as its status; wrong when
 *  the Update call or the status says otherwise. */
sight status_of(const std::shared_ptr<cpld_watch>& w, const cpld& c,
                const std::string& expected)
{
    if (auto reply = w->replies.find(c.object);
        reply != w->replies.end() && !reply->second.empty())
    {
        return sight::wrong("Update failed: " + reply->second);
    }
    auto status = w->announced_value(c.object, "UpdasteStatus");
    if (status.empty())
    {
        return sight::pending();
    }
    if (status != expected)
    {
        return sight::wrong("UpdasteStatus = " + status);
    }
    return sight::seen(std::string(c.object) + " UpdasteStatus = " + status);
}

step versions_shown(session& s, const std::shared_ptr<cpld_watch>& w)
{
    return {"the CPLD versions are shown", scaled(15s), nullptr, [&s, w] {
                std::string line;
                for (const char* object : {"mbcpld", "bpncpld", "bpncpld2"})
                {
                    try
                    {
                        w->versions[object] = s.get<std::string>(
                            service, cpld_path + std::string(object), service,
                            "Version");
                    }
                    catch (const dbus::error&)
                    {
                        return sight::pending(); // not published yet
                    }
                    line += std::string(line.empty() ? "" : ", ") + object +
                            " Version = " + w->versions[object];
                }
                return sight::seen(line);
            }};
}

step update_completes(session& s, const std::shared_ptr<cpld_watch>& w)
{
    return {"the backplane CPLD update reaches Update Complete",
            power_off_wait + scaled(30s),
            [&s, w] {
                w->reloads =
                    s.sim.i2c().machxo(updated.bus, cpld_address).refresh_count;
                call_update(s, w, updated.object);
                return std::string("Update called on ") + updated.object +
                       " (uploaded image " + image + ")";
            },
            [w] { return status_of(w, updated, "Update Complete"); }};
}

step new_version(session& s, const std::shared_ptr<cpld_watch>& w)
{
    return {"Version shows the new usercode", reload_delay + scaled(5s),
            nullptr, [&s, w] {
                auto version = w->announced_value(updated.object, "Version");
                auto device = s.sim.i2c().machxo(updated.bus, cpld_address);
                if (version != updated_version ||
                    device.refresh_count == w->reloads)
                {
                    return sight::pending();
                }
                return sight::seen(
                    std::string(updated.object) + " Version = " + version +
                    "; the device reloaded, usercode " + hex(device.usercode));
            }};
}

step corrupted_refused(session& s, const std::shared_ptr<cpld_watch>& w)
{
    return {"a corrupted image is refused", reload_delay + scaled(10s),
            [&s, w] {
                w->good_image = s.sim.read_file(image).value_or("");
                s.sim.write_file(image, corrupted(w->good_image));
                w->before = snapshot(s, refused);
                call_update(s, w, refused.object);
                return std::string("corrupted image uploaded (one fuse "
                                   "flipped); Update called on ") +
                       refused.object;
            },
            [w] {
                return status_of(w, refused,
                                 "Invalid Upload CPLD Firmware Error");
            }};
}

step old_image_kept(session& s, const std::shared_ptr<cpld_watch>& w)
{
    return {"the CPLD keeps its old image", scaled(5s),
            [&s, w] {
                s.sim.write_file(image, w->good_image);
                return std::string("the good image is uploaded again");
            },
            [&s, w] {
                auto version = s.get<std::string>(
                    service, cpld_path + std::string(refused.object), service,
                    "Version");
                if (version != w->versions[refused.object])
                {
                    return sight::wrong("Version became " + version);
                }
                if (auto changed = difference(w->before, snapshot(s, refused));
                    !changed.empty())
                {
                    return sight::wrong(changed);
                }
                return sight::seen(
                    std::string(refused.object) + " Version = " + version +
                    " unchanged; its device untouched "
                    "(usercode " +
                    hex(w->before.info.usercode) +
                    ", flash as before, no I2C transfer)");
            }};
}

} // namespace

track cpld_track(session& s)
{
    auto w = std::make_shared<cpld_watch>(s.bus());
    return {versions_shown(s, w), update_completes(s, w), new_version(s, w),
            corrupted_refused(s, w), old_image_kept(s, w)};
}

} // namespace simboard::scenario
