#include "fwkeeper/cpld/repository.hpp"

#include <cstdlib>
#include <fstream>
#include <functional>

namespace cpld
{

namespace
{

using nlohmann::json;

bool is_any(const json&)
{
    return true;
}

// The value of `key` in `obj`, which must be there and pass `is_type`.
template <typename Check>
const json& require(const json& obj, const char* key, Check is_type)
{
    auto it = obj.find(key);
    if (it == obj.end() || !std::invoke(is_type, *it))
    {
        throw startup_error(std::string("CPLD config JSON: \"") + key +
                            "\" missing or of the wrong type");
    }
    return *it;
}

// Hexadecimal text read like strtoul with base 16, in 64 bits on every
// machine: a 32-bit unsigned long would saturate numbers of nine to sixteen
// digits, whose low bits then select other devices on the BMC than here.
std::uint64_t hex_value(const json& text)
{
    return std::strtoull(text.get_ref<const std::string&>().c_str(), nullptr,
                         16);
}

std::string node_of_bus(const json& bus)
{
    return "/dev/i2c-" + std::to_string(bus.get<std::uint64_t>() & 0xFF);
}

std::uint8_t address(const json& text)
{
    return static_cast<std::uint8_t>(hex_value(text) & 0xFF);
}

// The array under `key`, which must hold objects only.
const json& object_array(const json& obj, const char* key)
{
    const json& list = require(obj, key, &json::is_array);
    for (const json& entry : list)
    {
        if (!entry.is_object())
        {
            throw startup_error(std::string("CPLD config JSON: \"") + key +
                                "\" holds a non-object entry");
        }
    }
    return list;
}

// The entries under `key` ("mb_cpld_repo", "bpn_cpld_repo"); an absent list
// counts as empty.
const json& board_list(const json& element, const char* key)
{
    static const json empty = json::array();
    return element.contains(key) ? object_array(element, key) : empty;
}

bool selected(const json& entry, std::uint16_t product_id, const char* type)
{
    auto id = hex_value(require(entry, "platformId", &json::is_string));
    return (id & 0xFFFF) == product_id &&
           require(entry, "device_type", &json::is_string) == type;
}

void add_mb_devices(const json& element, std::uint16_t product_id,
                    std::vector<cpld_dev_info>& devices)
{
    for (const json& entry : board_list(element, "mb_cpld_repo"))
    {
        if (!selected(entry, product_id, "MB_CPLD"))
        {
            continue;
        }
        const json& bus = require(entry, "i2c_bus", &json::is_number_integer);
        const json& addr = require(entry, "update_addr", &json::is_string);
        require(entry, "mux_control", &json::is_boolean);
        devices.push_back({node_of_bus(bus), address(addr), "MBCPLD"});
    }
}

void add_bpn_devices(const json& element, std::uint16_t product_id,
                     std::vector<cpld_dev_info>& devices)
{
    for (const json& entry : board_list(element, "bpn_cpld_repo"))
    {
        if (!selected(entry, product_id, "Q55_BPN_CPLD"))
        {
            continue;
        }
        require(entry, "mux_control", is_any);
        for (const json& cpld : object_array(entry, "cpld_i2c"))
        {
            const json& name = require(cpld, "device_name", &json::is_string);
            require(cpld, "mux_i2c_bus", &json::is_number_integer);
            require(cpld, "mux_addr", &json::is_string);
            require(cpld, "mux_type", &json::is_string);
            const json& bus =
                require(cpld, "i2c_bus", &json::is_number_integer);
            const json& addr = require(cpld, "update_addr", &json::is_string);
            require(cpld, "ver_addr", &json::is_string);
            devices.push_back(
                {node_of_bus(bus), address(addr), name.get<std::string>()});
        }
    }
}

std::uint16_t read_product_id(const std::string& path)
{
    const std::optional<std::string> line = product_id_line(path);
    return line ? product_id_from_text(*line) : 0;
}

} // namespace

std::optional<std::string> product_id_line(const std::string& path)
{
    // Opened for reading and writing as the board tools expect; never
    // created and never written.
    std::fstream file(path, std::ios::in | std::ios::out);
    std::string line;
    if (!file || !std::getline(file, line))
    {
        return std::nullopt;
    }
    return line;
}

std::uint16_t product_id_from_text(std::string_view text)
{
    std::string first(text.substr(0, text.find('\n')).substr(0, 6));
    return static_cast<std::uint16_t>(
        std::strtol(first.c_str(), nullptr, 0) & 0xFFFF);
}

std::vector<cpld_dev_info> select_devices(const json& repo,
                                          std::uint16_t product_id)
{
    if (!repo.is_array() && !repo.is_object())
    {
        throw startup_error("CPLD config JSON: root is not an array");
    }
    std::vector<cpld_dev_info> devices;
    devices.reserve(3);
    for (const json& element : repo)
    {
        if (!element.is_object())
        {
            throw startup_error("CPLD config JSON: element is not an object");
        }
        add_mb_devices(element, product_id, devices);
        add_bpn_devices(element, product_id, devices);
    }
    return devices;
}

namespace
{

std::vector<cpld_dev_info> read_devices(const std::string& repo_path,
                                        const std::string& id_path,
                                        const journal_fn& journal)
{
    std::ifstream file(repo_path);
    if (!file)
    {
        journal("CPLD config JSON file not found");
    }
    json repo = json::parse(file, nullptr, false);
    file.close();
    if (repo.is_discarded())
    {
        journal("CPLD config JSON parse fail");
        throw startup_error("CPLD config JSON unusable");
    }
    std::uint16_t product_id = read_product_id(id_path);
    if (product_id == 0)
    {
        journal("Fail to acquire onboard productID");
    }
    return select_devices(repo, product_id);
}

} // namespace

std::vector<cpld_dev_info> load_devices(const std::string& repo_path,
                                        const std::string& id_path,
                                        const journal_fn& journal)
{
    try
    {
        return read_devices(repo_path, id_path, journal);
    }
    catch (const startup_error& e)
    {
        journal(std::string(e.what()) + ", start-up stopped");
        throw;
    }
}

} // namespace cpld
