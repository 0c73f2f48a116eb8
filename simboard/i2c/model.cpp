#include "simboard/i2c/model.hpp"

#include "simboard/i2c/txlog.hpp"

#include <algorithm>
#include <array>
#include <cerrno>

namespace simboard::i2c
{

namespace
{

// ---- register device ------------------------------------------------------

// The first written byte sets the register pointer, further written bytes
// are stored from it on; reads continue from the pointer.  The pointer
// wraps from 0xff to 0x00.
void run_register(device_state& device, const transaction& t)
{
    if (!t.written.empty())
    {
        device.pointer = t.written[0];
        for (uint8_t byte : t.written.subspan(1))
        {
            device.registers[device.pointer++] = byte;
        }
    }
    for (uint8_t& byte : t.read)
    {
        byte = device.registers[device.pointer++];
    }
}

// ---- MachXO configuration port ---------------------------------------------

constexpr uint32_t status_done = 1U << 8;
constexpr uint32_t status_config_mode = 1U << 9;
constexpr uint32_t status_busy = 1U << 12;
constexpr uint32_t status_fail = 1U << 13;
constexpr uint8_t busy_flag = 0x80;
constexpr uint8_t erase_config_flash = 0x04;
constexpr uint8_t erase_user_flash = 0x08;

struct machxo_call
{
    shared_state& state;
    machxo_state& m;
    const fault_state& faults;
    std::span<const uint8_t> written;
    std::span<uint8_t> reply;
};

bool is_busy(const machxo_state& m, const fault_state& faults)
{
    return faults.busy_forever || m.busy_polls > 0;
}

void put_be32(std::span<uint8_t> reply, uint32_t value)
{
    for (size_t i = 0; i < 4 && i < reply.size(); ++i)
    {
        reply[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
    }
}

uint32_t get_be32(std::span<const uint8_t> bytes)
{
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
           (uint32_t{bytes[2]} << 8) | bytes[3];
}

uint32_t total_pages(const machxo_state& m)
{
    return m.config_pages + m.user_pages;
}

void read_idcode(machxo_call& c)
{
    put_be32(c.reply, c.m.idcode);
}

void read_usercode(machxo_call& c)
{
    put_be32(c.reply, c.m.usercode);
}

// Every busy check answered "busy" counts down the remaining busy time.
void check_busy(machxo_call& c)
{
    if (c.reply.empty())
    {
        return;
    }
    c.reply[0] = is_busy(c.m, c.faults) ? busy_flag : 0;
    if (!c.faults.busy_forever && c.m.busy_polls > 0)
    {
        --c.m.busy_polls;
    }
}

void read_status(machxo_call& c)
{
    uint32_t status = (c.m.done ? status_done : 0) |
                      (c.m.config_mode ? status_config_mode : 0) |
                      (is_busy(c.m, c.faults) ? status_busy : 0) |
                      (c.m.command_failed || c.faults.fail ? status_fail : 0);
    put_be32(c.reply, status);
}

void enable_config(machxo_call& c)
{
    c.m.config_mode = true;
    c.m.command_failed = false;
}

void erase_pages(machxo_call& c, uint32_t first, uint32_t count)
{
    uint8_t* flash = flash_of(c.state, c.m) + size_t{first} * page_size;
    std::fill_n(flash, size_t{count} * page_size, erased_byte);
}

// The usercode lives in the configuration sector and is erased with it.
void erase(machxo_call& c)
{
    if ((c.written[1] & erase_config_flash) != 0)
    {
        erase_pages(c, 0, c.m.config_pages);
        c.m.done = false;
        c.m.usercode = 0;
    }
    if ((c.written[1] & erase_user_flash) != 0)
    {
        erase_pages(c, c.m.config_pages, c.m.user_pages);
    }
    c.m.busy_polls = c.m.erase_busy_polls;
}

void init_address(machxo_call& c)
{
    c.m.page_address = 0;
}

void write_address(machxo_call& c)
{
    c.m.page_address = (uint32_t{c.written[6]} << 8) | c.written[7];
}

void program_page(machxo_call& c)
{
    if (c.m.page_address >= total_pages(c.m))
    {
        c.m.command_failed = true;
        return;
    }
    uint8_t* page = flash_of(c.state, c.m) +
                    size_t{c.m.page_address} * page_size;
    for (size_t i = 0; i < page_size; ++i)
    {
        page[i] |= c.written[4 + i];
    }
    ++c.m.page_address;
    c.m.busy_polls = c.m.program_busy_polls;
}

// The reply streams pages from the page address on; the address advances
// by every page that was started.
void read_pages(machxo_call& c)
{
    uint32_t pages =
        static_cast<uint32_t>((c.reply.size() + page_size - 1) / page_size);
    if (c.m.page_address + pages > total_pages(c.m))
    {
        c.m.command_failed = true;
        return;
    }
    const uint8_t* flash =
        flash_of(c.state, c.m) + size_t{c.m.page_address} * page_size;
    std::copy_n(flash, c.reply.size(), c.reply.begin());
    c.m.page_address += pages;
}

void program_done(machxo_call& c)
{
    c.m.done = true;
    c.m.busy_polls = c.m.program_busy_polls;
}

void program_usercode(machxo_call& c)
{
    c.m.usercode |= get_be32(c.written.subspan(4));
    c.m.busy_polls = c.m.program_busy_polls;
}

void disable_config(machxo_call& c)
{
    c.m.config_mode = false;
}

void no_operation(machxo_call&) {}

void refresh(machxo_call& c)
{
    c.m.config_mode = false;
    c.m.command_failed = false;
    ++c.m.refresh_count;
}

struct machxo_command
{
    uint8_t opcode;
    uint8_t length;   // exact number of bytes written
    bool query;       // served while the device is busy
    bool config_only; // needs configuration mode
    void (*run)(machxo_call&);
};

constexpr std::array<machxo_command, 15> machxo_commands{{
    {0xE0, 4, true, false, read_idcode},      // IDCODE_PUB
    {0xC0, 4, true, false, read_usercode},    // USERCODE
    {0xF0, 4, true, false, check_busy},       // LSC_CHECK_BUSY
    {0x3C, 4, true, false, read_status},      // LSC_READ_STATUS
    {0xFF, 4, true, false, no_operation},     // ISC_NOOP
    {0x74, 4, false, false, enable_config},   // ISC_ENABLE_X
    {0x0E, 4, false, true, erase},            // ISC_ERASE
    {0x46, 4, false, true, init_address},     // LSC_INIT_ADDRESS
    {0x70, 20, false, true, program_page},    // LSC_PROG_INCR_NV
    {0xB4, 8, false, true, write_address},    // LSC_WRITE_ADDRESS
    {0x73, 4, false, true, read_pages},       // LSC_READ_INCR_NV
    {0x5E, 4, false, true, program_done},     // ISC_PROGRAM_DONE
    {0xC2, 8, false, true, program_usercode}, // ISC_PROGRAM_USERCODE
    {0x26, 3, false, false, disable_config},  // ISC_DISABLE
    {0x79, 3, false, false, refresh},         // LSC_REFRESH
}};

// A command the device cannot take (issued while busy, or outside
// configuration mode) is acknowledged, ignored and flagged in the status.
int run_machxo(shared_state& state, device_state& device, const transaction& t)
{
    if (t.written.empty())
    {
        std::ranges::fill(t.read, 0xFF);
        return 0;
    }
    const auto* command = std::ranges::find(machxo_commands, t.written[0],
                                            &machxo_command::opcode);
    if (command == machxo_commands.end() || t.written.size() != command->length)
    {
        return EREMOTEIO;
    }
    std::ranges::fill(t.read, 0xFF);
    machxo_state& m = device.machxo;
    if ((!command->query && is_busy(m, device.faults)) ||
        (command->config_only && !m.config_mode))
    {
        m.command_failed = true;
        return 0;
    }
    machxo_call call{state, m, device.faults, t.written, t.read};
    command->run(call);
    return 0;
}

// ---- faults and dispatch ---------------------------------------------------

bool counts_down(uint32_t& countdown)
{
    return countdown > 0 && --countdown == 0;
}

// Counts the transaction against the armed NACK faults; every armed
// counter sees it, so two faults may fall on the same transaction.
bool nacked_by_fault(fault_state& faults, const transaction& t)
{
    bool nack = counts_down(faults.nack_countdown);
    if (!t.written.empty() && t.written[0] == faults.nack_command)
    {
        nack = counts_down(faults.nack_command_countdown) || nack;
    }
    return nack;
}

int execute(shared_state& state, const transaction& t)
{
    const bus_state* bus = find_bus(state, t.bus);
    if (bus == nullptr || !bus->present)
    {
        return ENODEV;
    }
    device_state* device = find_device(state, t.bus, t.address);
    if (device == nullptr || device->faults.silent)
    {
        return ENXIO;
    }
    if (nacked_by_fault(device->faults, t))
    {
        return EREMOTEIO;
    }
    if (device->kind == device_kind::machxo)
    {
        return run_machxo(state, *device, t);
    }
    run_register(*device, t);
    return 0;
}

} // namespace

int run_transaction(shared_state& state, const transaction& t)
{
    ++state.transactions;
    int error = execute(state, t);
    append_log(state, t, error);
    return error;
}

} // namespace simboard::i2c
