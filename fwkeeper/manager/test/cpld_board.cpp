#include "fwkeeper/manager/test/cpld_board.hpp"

#include "dbus/properties.hpp"
#include "fwkeeper/cpld/jed_image.hpp"

#include <stdexcept>
#include <variant>

namespace fwkeeper_test
{

namespace
{

using nlohmann::json;
namespace jedec = simboard::jedec;

constexpr const char* board_service =
    "xyz.openbmc_project.TARNproperties.Manager";
constexpr const char* board_path = "/xyz/openbmc_project/TARNproperties/mgr";
constexpr const char* released_line = "set update status to";

const jedec::part_size& part_size(const cpld_device& device)
{
    const auto* size = jedec::find_part_size(device.part);
    if (size == nullptr)
    {
        throw std::invalid_argument("no such part " + device.part);
    }
    return *size;
}

json machxo_description(const cpld_device& device)
{
    const auto* part = cpld::find_machxo_part(device.part);
    const auto& size = part_size(device);
    return {{"bus", device.bus},
            {"address", device.address},
            {"kind", "machxo"},
            {"idcode", part->id_code},
            {"usercode", device.usercode},
            {"config_pages", size.config_pages},
            {"user_pages", size.user_pages},
            {"done", true},
            {"erase_busy_polls", 1},
            {"program_busy_polls", device.program_busy_polls},
            {"fill", device.fill}};
}

json i2c_description(const std::vector<cpld_device>& devices)
{
    json buses = json::array();
    json machxos = json::array();
    for (const cpld_device& device : devices)
    {
        buses.push_back({{"bus", device.bus}});
        machxos.push_back(machxo_description(device));
    }
    return {{"buses", buses}, {"devices", machxos}};
}

std::string hex(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%X", value);
    return text;
}

json describe(const board_setup& setup)
{
    json files = {
        {"/usr/share/cpld-configs/cpld_repo.json",
         setup.repository.empty() ? repository_for(setup.cplds).dump(2)
                                  : setup.repository},
        {"/var/cache/private/prodID", setup.product_id},
        {unbind_file, ""},
    };
    if (!setup.capability.empty())
    {
        files["/etc/tarn-util/capability_flags"] = setup.capability;
    }
    return {{"files", files},
            {"i2c", i2c_description(setup.cplds)},
            {"peers", setup.peers}};
}

} // namespace

cpld_device main_board_cpld()
{
    return {"MBCPLD", 7};
}

cpld_device backplane_cpld()
{
    return {"BPNCPLD", 16};
}

cpld_device backplane2_cpld()
{
    return {"BPNCPLD2", 17};
}

json default_peers()
{
    return {
        {"chassis", {{"PowerOff", "immediate"}}},
        {"board_properties", json::object()},
        {"chip_info",
         {{"PFR_REV_ID1", {"y", 0x02}},
          {"PFR_REV_ID2", {"y", 0xB0}},
          {"PFR_REV_ID3", {"y", 0x1A}}}},
    };
}

json repository_for(const std::vector<cpld_device>& devices,
                    const std::string& platform_id)
{
    json main_board = json::array();
    json backplanes = json::array();
    for (const cpld_device& device : devices)
    {
        if (device.name == "MBCPLD")
        {
            main_board.push_back({{"platformId", platform_id},
                                  {"device_type", "MB_CPLD"},
                                  {"i2c_bus", device.bus},
                                  {"update_addr", hex(device.address)},
                                  {"mux_control", false}});
            continue;
        }
        backplanes.push_back(
            {{"device_name", device.name},
             {"mux_i2c_bus", 8},
             {"mux_addr", "0x70"},
             {"mux_type", "PCA9548"},
             {"i2c_bus", device.bus},
             {"update_addr", hex(device.address)},
             {"ver_addr", "0x41"}});
    }
    return json::array(
        {{{"mb_cpld_repo", main_board},
          {"bpn_cpld_repo", json::array({{{"platformId", platform_id},
                                          {"device_type", "Q55_BPN_CPLD"},
                                          {"mux_control", true},
                                          {"cpld_i2c", backplanes}}})}}});
}

cpld_board::cpld_board(const board_setup& setup) : daemon_board(describe(setup))
{}

bool cpld_board::start(const std::vector<std::string>& objects,
                       const std::map<std::string, std::string>& environment)
{
    daemon = sim.start(FWKEEPER_BIN, environment);
    const bool up = simboard::wait_until(
                        [&] {
                            if (!daemon->running())
                            {
                                return true;
                            }
                            if (!published())
                            {
                                return false;
                            }
                            for (const std::string& object : objects)
                            {
                                try
                                {
                                    property(object, "Version");
                                }
                                catch (const dbus::error&)
                                {
                                    return false;
                                }
                            }
                            return true;
                        },
                        simboard::scaled(20s)) &&
                    daemon->running();
    calls_before_start = sim.peer_calls().size();
    return up;
}

jedec::image cpld_board::upload(const cpld_device& device,
                                const std::string& usercode, std::uint32_t seed)
{
    jedec::image image = jedec::random_image(part_size(device), usercode, seed);
    upload_text(device, jedec::jed_text(image));
    return image;
}

void cpld_board::upload_text(const cpld_device& device, const std::string& text)
{
    sim.write_file(device.name == "MBCPLD" ? mb_image : bpn_image, text);
}

std::optional<dbus::error> cpld_board::update(const std::string& object)
{
    try
    {
        sim.client().call_method(service, object, service, "Update");
        return std::nullopt;
    }
    catch (const dbus::error& e)
    {
        return e;
    }
}

bool cpld_board::wait_for_release(std::size_t seen,
                                  std::chrono::milliseconds timeout)
{
    return daemon->wait_for_count(released_line, seen + 1, timeout);
}

std::string cpld_board::update_to_end(const std::string& object)
{
    const std::size_t seen = count(released_line);
    if (update(object) || !wait_for_release(seen))
    {
        return {};
    }
    return property(object, "UpdasteStatus");
}

std::string cpld_board::property(const std::string& object,
                                 const std::string& name)
{
    return dbus::get_property<std::string>(sim.client(),
                                           {service, object, service, name});
}

std::string cpld_board::board_property(const std::string& name)
{
    return dbus::get_property<std::string>(
        sim.client(), {board_service, board_path, board_service, name});
}

bool cpld_board::wait_for_board(const std::string& owner,
                                const std::string& state)
{
    return simboard::wait_until(
        [&] {
            return board_property("UpdatingOwner") == owner &&
                   board_property("UpdatingState") == state;
        },
        simboard::scaled(10s));
}

bool cpld_board::published()
{
    return sim.client().call_method<bool>(
        "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
        "NameHasOwner", std::string(service));
}

std::vector<std::string> cpld_board::board_property_calls() const
{
    return calls_to(board_service, calls_before_start);
}

std::vector<std::string> cpld_board::chassis_calls() const
{
    return calls_to("xyz.openbmc_project.State.Chassis", calls_before_start);
}

bool cpld_board::flash_holds(const cpld_device& device,
                             const jedec::image& image)
{
    const auto rows = jedec::flash_rows(image);
    for (std::size_t page = 0; page < rows.size(); ++page)
    {
        auto stored = sim.i2c().read_flash_page(device.bus, device.address,
                                                static_cast<uint32_t>(page));
        auto expected = jedec::row_bytes(rows[page]);
        if (!std::equal(stored.begin(), stored.end(), expected.begin(),
                        expected.end()))
        {
            return false;
        }
    }
    return true;
}

bool cpld_board::flash_untouched(const cpld_device& device)
{
    const auto pages = part_size(device).config_pages;
    for (std::size_t page = 0; page < pages; ++page)
    {
        auto stored = sim.i2c().read_flash_page(device.bus, device.address,
                                                static_cast<uint32_t>(page));
        if (std::ranges::any_of(stored, [&](std::uint8_t byte) {
                return byte != device.fill;
            }))
        {
            return false;
        }
    }
    return true;
}

std::vector<std::uint8_t> cpld_board::commands(const cpld_device& device)
{
    std::vector<std::uint8_t> first_bytes;
    for (const auto& entry :
         sim.i2c().log({device.bus, device.address, std::nullopt}))
    {
        first_bytes.push_back(entry.written.empty() ? 0 : entry.written[0]);
    }
    return first_bytes;
}

} // namespace fwkeeper_test
