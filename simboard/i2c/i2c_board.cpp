#include "simboard/i2c/i2c_board.hpp"

#include <fcntl.h>
#include <linux/i2c.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace simboard
{

namespace
{

using nlohmann::json;
using namespace i2c;

constexpr uint32_t default_functionality = I2C_FUNC_I2C | I2C_FUNC_SMBUS_EMUL;
constexpr uint32_t default_erase_busy_polls = 3;

[[noreturn]] void invalid(const std::string& what)
{
    throw std::invalid_argument("i2c board description: " + what);
}

[[noreturn]] void system_failure(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

void check_keys(const json& object, std::initializer_list<std::string> keys,
                const std::string& where)
{
    if (!object.is_object())
    {
        invalid(where + " is not an object");
    }
    for (const auto& item : object.items())
    {
        if (std::ranges::find(keys, item.key()) == keys.end())
        {
            invalid(where + ": unknown key \"" + item.key() + "\"");
        }
    }
}

// A non-negative JSON integer, or a string in decimal or "0x" hexadecimal.
uint64_t to_number(const json& value, const std::string& where, uint64_t max)
{
    uint64_t number = 0;
    if (value.is_number_unsigned())
    {
        number = value.get<uint64_t>();
    }
    else if (value.is_number_integer())
    {
        auto signed_number = value.get<int64_t>();
        if (signed_number < 0)
        {
            invalid(where + " is negative");
        }
        number = static_cast<uint64_t>(signed_number);
    }
    else if (value.is_string())
    {
        std::string_view text = value.get_ref<const std::string&>();
        int base = 10;
        if (text.starts_with("0x") || text.starts_with("0X"))
        {
            text.remove_prefix(2);
            base = 16;
        }
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(),
                                         number, base);
        if (text.empty() || ec != std::errc{} ||
            end != text.data() + text.size())
        {
            invalid(where + " is not a number");
        }
    }
    else
    {
        invalid(where + " is not a number");
    }
    if (number > max)
    {
        invalid(where + " is out of range");
    }
    return number;
}

uint64_t number_field(const json& object, const std::string& key,
                      const std::string& where, uint64_t max,
                      std::optional<uint64_t> fallback = std::nullopt)
{
    if (!object.contains(key))
    {
        if (!fallback)
        {
            invalid(where + ": \"" + key + "\" is missing");
        }
        return *fallback;
    }
    return to_number(object[key], where + " \"" + key + "\"", max);
}

bool flag_field(const json& object, const std::string& key,
                const std::string& where, bool fallback)
{
    if (!object.contains(key))
    {
        return fallback;
    }
    if (!object[key].is_boolean())
    {
        invalid(where + " \"" + key + "\" is not true or false");
    }
    return object[key].get<bool>();
}

const json& array_field(const json& object, const std::string& key, size_t max)
{
    static const json empty = json::array();
    if (!object.contains(key))
    {
        return empty;
    }
    if (!object[key].is_array() || object[key].size() > max)
    {
        invalid("\"" + key + "\" is not an array of at most " +
                std::to_string(max) + " entries");
    }
    return object[key];
}

// The board as the description gives it, before it is laid out in a file.
struct board_plan
{
    std::vector<bus_state> buses;
    std::vector<device_state> devices;
    std::vector<uint8_t> fills; // flash fill byte of each device
    size_t size = sizeof(shared_state);
};

bus_state parse_bus(const json& entry, const std::string& where)
{
    check_keys(entry, {"bus", "functionality", "present"}, where);
    return bus_state{
        static_cast<uint32_t>(number_field(entry, "bus", where, 999999999)),
        static_cast<uint32_t>(number_field(entry, "functionality", where,
                                           UINT32_MAX, default_functionality)),
        flag_field(entry, "present", where, true)};
}

void parse_registers(const json& entry, device_state& device,
                     const std::string& where)
{
    check_keys(entry, {"bus", "address", "kind", "registers", "driver_bound"},
               where);
    device.kind = device_kind::reg;
    device.driver_bound = flag_field(entry, "driver_bound", where, false);
    if (!entry.contains("registers"))
    {
        return;
    }
    const json& registers = entry["registers"];
    if (!registers.is_object())
    {
        invalid(where + " \"registers\" is not an object");
    }
    for (const auto& item : registers.items())
    {
        std::string name = where + " register " + item.key();
        auto reg = to_number(item.key(), name, 0xff);
        device.registers[reg] =
            static_cast<uint8_t>(to_number(item.value(), name, 0xff));
    }
}

uint8_t parse_machxo(const json& entry, device_state& device,
                     const std::string& where)
{
    check_keys(entry,
               {"bus", "address", "kind", "idcode", "usercode", "config_pages",
                "user_pages", "done", "erase_busy_polls", "program_busy_polls",
                "fill"},
               where);
    machxo_state& m = device.machxo;
    device.kind = device_kind::machxo;
    m.idcode =
        static_cast<uint32_t>(number_field(entry, "idcode", where, UINT32_MAX));
    m.usercode = static_cast<uint32_t>(
        number_field(entry, "usercode", where, UINT32_MAX, 0));
    m.config_pages = static_cast<uint32_t>(
        number_field(entry, "config_pages", where, max_pages));
    m.user_pages = static_cast<uint32_t>(number_field(
        entry, "user_pages", where, max_pages - m.config_pages, 0));
    m.done = flag_field(entry, "done", where, false);
    m.erase_busy_polls = static_cast<uint32_t>(
        number_field(entry, "erase_busy_polls", where, UINT32_MAX,
                     default_erase_busy_polls));
    m.program_busy_polls = static_cast<uint32_t>(
        number_field(entry, "program_busy_polls", where, UINT32_MAX, 0));
    return static_cast<uint8_t>(
        number_field(entry, "fill", where, 0xff, erased_byte));
}

void add_device(board_plan& plan, const json& entry, const std::string& where)
{
    if (!entry.is_object() || !entry.contains("kind") ||
        !entry["kind"].is_string())
    {
        invalid(where + " has no \"kind\"");
    }
    device_state device{};
    device.bus =
        static_cast<uint32_t>(number_field(entry, "bus", where, 999999999));
    device.address =
        static_cast<uint8_t>(number_field(entry, "address", where, 0x7f));
    uint8_t fill = erased_byte;
    const auto& kind = entry["kind"].get_ref<const std::string&>();
    if (kind == "register")
    {
        parse_registers(entry, device, where);
    }
    else if (kind == "machxo")
    {
        fill = parse_machxo(entry, device, where);
        device.machxo.flash_offset = plan.size;
        plan.size +=
            size_t{device.machxo.config_pages + device.machxo.user_pages} *
            page_size;
    }
    else
    {
        invalid(where + ": unknown kind \"" + kind + "\"");
    }
    if (std::ranges::none_of(plan.buses, [&](const bus_state& bus) {
            return bus.number == device.bus;
        }))
    {
        invalid(where + " is on bus " + std::to_string(device.bus) +
                ", which is not in \"buses\"");
    }
    if (std::ranges::any_of(plan.devices, [&](const device_state& other) {
            return other.bus == device.bus && other.address == device.address;
        }))
    {
        invalid(where + " has the bus and address of an earlier device");
    }
    plan.devices.push_back(device);
    plan.fills.push_back(fill);
}

board_plan plan_board(const json& description)
{
    if (!description.is_object() || !description.contains("i2c"))
    {
        invalid("no \"i2c\" object");
    }
    const json& i2c = description["i2c"];
    check_keys(i2c, {"buses", "devices"}, "\"i2c\"");
    board_plan plan;
    for (const json& entry : array_field(i2c, "buses", max_buses))
    {
        bus_state bus = parse_bus(entry, "bus " + entry.dump());
        if (std::ranges::any_of(plan.buses, [&](const bus_state& other) {
                return other.number == bus.number;
            }))
        {
            invalid("bus " + std::to_string(bus.number) + " is listed twice");
        }
        plan.buses.push_back(bus);
    }
    for (const json& entry : array_field(i2c, "devices", max_devices))
    {
        add_device(plan, entry, "device " + entry.dump());
    }
    return plan;
}

void lay_out(shared_state& state, const board_plan& plan,
             const std::filesystem::path& log)
{
    state.magic = state_magic;
    state.version = state_version;
    state.file_size = plan.size;
    init_mutex(state);
    std::string log_text = log.string();
    if (log_text.size() >= max_path)
    {
        invalid("state path too long: " + log_text);
    }
    std::ranges::copy(log_text, state.log_path.begin());
    state.bus_count = static_cast<uint32_t>(plan.buses.size());
    state.device_count = static_cast<uint32_t>(plan.devices.size());
    std::ranges::copy(plan.buses, state.buses.begin());
    std::ranges::copy(plan.devices, state.devices.begin());
    for (size_t i = 0; i < plan.devices.size(); ++i)
    {
        const machxo_state& m = plan.devices[i].machxo;
        std::fill_n(flash_of(state, m),
                    size_t{m.config_pages + m.user_pages} * page_size,
                    plan.fills[i]);
    }
}

// Builds the file under a temporary name and renames it into place, so a
// process never maps a half-written board.
state_mapping write_state_file(const std::filesystem::path& path,
                               const board_plan& plan,
                               const std::filesystem::path& log)
{
    std::string temporary = path.string() + ".XXXXXX";
    int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
    {
        system_failure("cannot create " + temporary);
    }
    void* base = MAP_FAILED;
    if (ftruncate(fd, static_cast<off_t>(plan.size)) == 0)
    {
        base =
            mmap(nullptr, plan.size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    int error = errno;
    ::close(fd);
    if (base == MAP_FAILED)
    {
        std::filesystem::remove(temporary);
        errno = error;
        system_failure("cannot size and map " + temporary);
    }
    state_mapping mapping(base, plan.size);
    try
    {
        lay_out(*mapping.get(), plan, log);
    }
    catch (...)
    {
        std::filesystem::remove(temporary);
        throw;
    }
    std::filesystem::rename(temporary, path);
    return mapping;
}

std::string hex(uint32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%0*x", digits, value);
    return text;
}

std::string fault_summary(const fault_state& faults)
{
    std::string text;
    if (faults.nack_countdown > 0)
    {
        text += " nack-nth=" + std::to_string(faults.nack_countdown);
    }
    if (faults.nack_command_countdown > 0)
    {
        text += " nack-command=" + hex(faults.nack_command, 2) + "#" +
                std::to_string(faults.nack_command_countdown);
    }
    text += faults.silent ? " silent" : "";
    text += faults.busy_forever ? " busy-forever" : "";
    text += faults.fail ? " fail" : "";
    return text;
}

std::string device_summary(const device_state& device)
{
    std::string text = "  " + hex(device.address, 2);
    if (device.kind == device_kind::reg)
    {
        text += " register";
        text += device.driver_bound ? " driver-bound" : "";
    }
    else
    {
        const machxo_state& m = device.machxo;
        text += " machxo idcode=" + hex(m.idcode, 8) + " usercode=" +
                hex(m.usercode, 8) + " done=" + std::to_string(m.done) +
                " config-mode=" + std::to_string(m.config_mode) +
                " page=" + std::to_string(m.page_address) +
                " busy-polls=" + std::to_string(m.busy_polls) +
                " refreshes=" + std::to_string(m.refresh_count);
    }
    return text + fault_summary(device.faults) + "\n";
}

bool matches(const i2c_log_entry& entry, const i2c_log_filter& filter)
{
    return (!filter.bus || entry.bus == *filter.bus) &&
           (!filter.address || entry.address == *filter.address) &&
           (!filter.command ||
            (!entry.written.empty() && entry.written[0] == *filter.command));
}

} // namespace

i2c_board::i2c_board(std::filesystem::path state_file,
                     i2c::state_mapping mapping) :
    state_path_(std::move(state_file)),
    mapping_(std::move(mapping))
{}

i2c_board i2c_board::create(const std::filesystem::path& state,
                            const nlohmann::json& description)
{
    board_plan plan = plan_board(description);
    std::filesystem::path log = state.string() + ".log";
    std::filesystem::remove(log);
    return i2c_board(state, write_state_file(state, plan, log));
}

i2c_board i2c_board::open(const std::filesystem::path& state)
{
    state_mapping mapping;
    if (int error = state_mapping::map(state.c_str(), mapping); error != 0)
    {
        throw std::system_error(error, std::generic_category(),
                                "cannot map i2c board state " + state.string());
    }
    return i2c_board(state, std::move(mapping));
}

std::filesystem::path i2c_board::log_path() const
{
    return state().log_path.data();
}

std::string i2c_board::summary() const
{
    state_lock lock(state());
    std::string text;
    for (uint32_t i = 0; i < state().bus_count; ++i)
    {
        const bus_state& bus = state().buses[i];
        text += "bus " + std::to_string(bus.number) +
                (bus.present ? " present" : " dropped") +
                " functionality=" + hex(bus.functionality, 8) + "\n";
        for (uint32_t d = 0; d < state().device_count; ++d)
        {
            if (state().devices[d].bus == bus.number)
            {
                text += device_summary(state().devices[d]);
            }
        }
    }
    return text + "transactions=" + std::to_string(state().transactions) + "\n";
}

i2c::device_state& i2c_board::device(unsigned bus, uint8_t address,
                                     i2c::device_kind kind) const
{
    device_state* found = find_device(state(), bus, address);
    if (found == nullptr)
    {
        throw std::out_of_range("no i2c device at bus " + std::to_string(bus) +
                                " address " + hex(address, 2));
    }
    if (kind != device_kind::none && found->kind != kind)
    {
        throw std::invalid_argument(
            "i2c device at bus " + std::to_string(bus) + " address " +
            hex(address, 2) + " is not a " +
            (kind == device_kind::reg ? "register device" : "MachXO"));
    }
    return *found;
}

i2c::bus_state& i2c_board::bus(unsigned number) const
{
    bus_state* found = find_bus(state(), number);
    if (found == nullptr)
    {
        throw std::out_of_range("no i2c bus " + std::to_string(number));
    }
    return *found;
}

uint8_t i2c_board::read_register(unsigned bus, uint8_t address,
                                 uint8_t reg) const
{
    state_lock lock(state());
    return device(bus, address, device_kind::reg).registers[reg];
}

void i2c_board::write_register(unsigned bus, uint8_t address, uint8_t reg,
                               uint8_t value)
{
    state_lock lock(state());
    device(bus, address, device_kind::reg).registers[reg] = value;
}

machxo_info i2c_board::machxo(unsigned bus, uint8_t address) const
{
    state_lock lock(state());
    const device_state& d = device(bus, address, device_kind::machxo);
    const machxo_state& m = d.machxo;
    return machxo_info{
        m.idcode,
        m.usercode,
        m.config_pages,
        m.user_pages,
        m.page_address,
        m.refresh_count,
        m.config_mode,
        m.done,
        d.faults.busy_forever || m.busy_polls > 0,
        d.faults.fail || m.command_failed};
}

void i2c_board::set_idcode(unsigned bus, uint8_t address, uint32_t idcode)
{
    state_lock lock(state());
    device(bus, address, device_kind::machxo).machxo.idcode = idcode;
}

void i2c_board::set_usercode(unsigned bus, uint8_t address, uint32_t usercode)
{
    state_lock lock(state());
    device(bus, address, device_kind::machxo).machxo.usercode = usercode;
}

flash_page i2c_board::read_flash_page(unsigned bus, uint8_t address,
                                      uint32_t page) const
{
    state_lock lock(state());
    const machxo_state& m = device(bus, address, device_kind::machxo).machxo;
    if (page >= m.config_pages + m.user_pages)
    {
        throw std::out_of_range("flash page " + std::to_string(page));
    }
    flash_page bytes;
    std::copy_n(flash_of(state(), m) + size_t{page} * page_size, page_size,
                bytes.begin());
    return bytes;
}

void i2c_board::write_flash_page(unsigned bus, uint8_t address, uint32_t page,
                                 const flash_page& bytes)
{
    state_lock lock(state());
    const machxo_state& m = device(bus, address, device_kind::machxo).machxo;
    if (page >= m.config_pages + m.user_pages)
    {
        throw std::out_of_range("flash page " + std::to_string(page));
    }
    std::ranges::copy(bytes, flash_of(state(), m) + size_t{page} * page_size);
}

void i2c_board::nack_nth(unsigned bus, uint8_t address, unsigned n)
{
    state_lock lock(state());
    device(bus, address, device_kind::none).faults.nack_countdown = n;
}

void i2c_board::nack_nth_command(unsigned bus, uint8_t address, uint8_t command,
                                 unsigned n)
{
    state_lock lock(state());
    fault_state& faults = device(bus, address, device_kind::none).faults;
    faults.nack_command = command;
    faults.nack_command_countdown = n;
}

void i2c_board::stay_busy(unsigned bus, uint8_t address, unsigned polls)
{
    state_lock lock(state());
    device(bus, address, device_kind::machxo).machxo.busy_polls = polls;
}

void i2c_board::stay_busy_forever(unsigned bus, uint8_t address)
{
    state_lock lock(state());
    device(bus, address, device_kind::machxo).faults.busy_forever = true;
}

void i2c_board::set_fail(unsigned bus, uint8_t address, bool fail)
{
    state_lock lock(state());
    device(bus, address, device_kind::machxo).faults.fail = fail;
}

void i2c_board::set_silent(unsigned bus, uint8_t address, bool silent)
{
    state_lock lock(state());
    device(bus, address, device_kind::none).faults.silent = silent;
}

void i2c_board::clear_faults(unsigned bus, uint8_t address)
{
    state_lock lock(state());
    device_state& d = device(bus, address, device_kind::none);
    d.faults = {};
    d.machxo.busy_polls = 0;
}

void i2c_board::set_bus_present(unsigned number, bool present)
{
    state_lock lock(state());
    bus(number).present = present;
}

std::vector<i2c_log_entry> i2c_board::log(const i2c_log_filter& filter) const
{
    std::stringstream text;
    {
        state_lock lock(state());
        std::ifstream file(log_path());
        text << file.rdbuf();
    }
    std::vector<i2c_log_entry> entries;
    for (std::string line; std::getline(text, line);)
    {
        std::optional<i2c_log_entry> entry = parse_log_line(line);
        if (entry && matches(*entry, filter))
        {
            entries.push_back(std::move(*entry));
        }
    }
    return entries;
}

void i2c_board::clear_log()
{
    state_lock lock(state());
    std::ofstream(log_path(), std::ios::trunc);
}

uint64_t i2c_board::transaction_count() const
{
    state_lock lock(state());
    return state().transactions;
}

std::vector<std::pair<std::string, std::string>> i2c_board::child_environment()
    const
{
    std::vector<std::pair<std::string, std::string>> environment{
        {"SIMBOARD_I2C_STATE", state_path_.string()},
        {"LD_PRELOAD", i2c_preload_value()}};
#ifdef __SANITIZE_ADDRESS__
    // The preloaded library comes before the ASan runtime of an
    // instrumented child, which ASan refuses unless told otherwise.
    const char* inherited = std::getenv("ASAN_OPTIONS");
    std::string options = inherited != nullptr ? inherited : "";
    options += options.empty() ? "" : ":";
    environment.emplace_back("ASAN_OPTIONS",
                             options + "verify_asan_link_order=0");
#endif
    return environment;
}

std::string i2c_preload_value()
{
    return SIMBOARD_I2C_PRELOAD;
}

} // namespace simboard
