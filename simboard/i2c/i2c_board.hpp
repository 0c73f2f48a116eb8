#pragma once

// Control side of the simulated I2C board: creates the shared state file
// from a board description, reads and changes the devices while emulated
// processes run, injects faults and reads the transaction log.  See
// README.md in this folder for the description format and the models.

#include "simboard/i2c/state.hpp"
#include "simboard/i2c/txlog.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace simboard
{

// Unset members match every entry; `command` is the first written byte.
struct i2c_log_filter
{
    std::optional<unsigned> bus = std::nullopt;
    std::optional<uint8_t> address = std::nullopt;
    std::optional<uint8_t> command = std::nullopt;
};

struct machxo_info
{
    uint32_t idcode = 0;
    uint32_t usercode = 0;
    uint32_t config_pages = 0;
    uint32_t user_pages = 0;
    uint32_t page_address = 0;
    uint32_t refresh_count = 0;
    bool config_mode = false;
    bool done = false;
    bool busy = false;
    bool fail = false;
};

using flash_page = std::array<uint8_t, i2c::page_size>;

class i2c_board
{
  public:
    // Writes a new state file from the "i2c" object of `description`; the
    // transaction log goes to the state path with ".log" appended.
    // Throws std::invalid_argument for a malformed description.
    static i2c_board create(const std::filesystem::path& state,
                            const nlohmann::json& description);
    // Maps an existing state file; throws std::system_error.
    static i2c_board open(const std::filesystem::path& state);

    const std::filesystem::path& state_path() const
    {
        return state_path_;
    }
    std::filesystem::path log_path() const;
    // Bus and device summary, one line per bus and per device.
    std::string summary() const;

    // Devices are named by bus and 7-bit address; std::out_of_range when
    // there is none, std::invalid_argument when it is of the wrong kind.
    uint8_t read_register(unsigned bus, uint8_t address, uint8_t reg) const;
    void write_register(unsigned bus, uint8_t address, uint8_t reg,
                        uint8_t value);

    machxo_info machxo(unsigned bus, uint8_t address) const;
    void set_idcode(unsigned bus, uint8_t address, uint32_t idcode);
    void set_usercode(unsigned bus, uint8_t address, uint32_t usercode);
    flash_page read_flash_page(unsigned bus, uint8_t address,
                               uint32_t page) const;
    void write_flash_page(unsigned bus, uint8_t address, uint32_t page,
                          const flash_page& bytes);

    // Faults.  A NACK fault fires once, on the n-th next transaction to the
    // device (n >= 1), or the n-th next whose first written byte is
    // `command`; the NACKed transaction has no effect on the device.
    void nack_nth(unsigned bus, uint8_t address, unsigned n);
    void nack_nth_command(unsigned bus, uint8_t address, uint8_t command,
                          unsigned n);
    void stay_busy(unsigned bus, uint8_t address, unsigned polls);
    void stay_busy_forever(unsigned bus, uint8_t address);
    void set_fail(unsigned bus, uint8_t address, bool fail);
    void set_silent(unsigned bus, uint8_t address, bool silent);
    // Also ends a busy time that is running.
    void clear_faults(unsigned bus, uint8_t address);
    // A dropped bus cannot be opened, and transfers on open descriptors
    // fail with ENODEV.
    void set_bus_present(unsigned bus, bool present);

    std::vector<i2c_log_entry> log(const i2c_log_filter& filter = {}) const;
    void clear_log();
    uint64_t transaction_count() const;

    // Environment for a child process that should run on this board:
    // SIMBOARD_I2C_STATE, LD_PRELOAD and, in an ASan build, ASAN_OPTIONS.
    std::vector<std::pair<std::string, std::string>> child_environment() const;

  private:
    i2c_board(std::filesystem::path state_file, i2c::state_mapping mapping);

    i2c::shared_state& state() const
    {
        return *mapping_.get();
    }
    i2c::device_state& device(unsigned bus, uint8_t address,
                              i2c::device_kind kind) const;
    i2c::bus_state& bus(unsigned number) const;

    std::filesystem::path state_path_;
    i2c::state_mapping mapping_;
};

// LD_PRELOAD value that puts libi2c-emu.so into a child process of this
// build.  An ASan child also needs ASAN_OPTIONS from child_environment().
std::string i2c_preload_value();

} // namespace simboard
