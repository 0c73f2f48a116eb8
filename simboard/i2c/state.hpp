#pragma once

// Binary layout of the simulated I2C board, shared through a file that the
// test and every emulated process map with MAP_SHARED.  All processes use the
// same build, so the layout only has to agree with itself; the version
// number catches a stale file.

#include <pthread.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace simboard::i2c
{

inline constexpr uint32_t state_magic = 0x43324953; // "SI2C"
inline constexpr uint32_t state_version = 1;
inline constexpr size_t max_buses = 64;
inline constexpr size_t max_devices = 64;
inline constexpr size_t max_path = 512;
inline constexpr size_t page_size = 16;
inline constexpr uint32_t max_pages = 0x10000; // page numbers are 16-bit

// Flash cells read 0x00 after an erase (the JEDEC default fuse state);
// programming can only set bits until the next erase.
inline constexpr uint8_t erased_byte = 0x00;

enum class device_kind : uint8_t
{
    none,
    reg,
    machxo,
};

struct fault_state
{
    uint32_t nack_countdown;         // n > 0: the n-th next transaction NACKs
    uint32_t nack_command_countdown; // same, counting only nack_command
    uint8_t nack_command;            // first written byte that is counted
    bool silent;                     // every transaction NACKs
    bool busy_forever;               // busy flag and status busy stay set
    bool fail;                       // status fail bit stays set
};

struct machxo_state
{
    uint32_t idcode;
    uint32_t usercode;
    uint32_t config_pages;
    uint32_t user_pages;
    uint64_t flash_offset; // from the start of the mapping
    uint32_t page_address;
    uint32_t erase_busy_polls;
    uint32_t program_busy_polls;
    uint32_t busy_polls; // busy checks still to be answered "busy"
    uint32_t refresh_count;
    bool config_mode;
    bool done;
    bool command_failed;
};

struct device_state
{
    uint32_t bus;
    uint8_t address;
    device_kind kind;
    bool driver_bound;
    uint8_t pointer; // register pointer of a register device
    std::array<uint8_t, 256> registers;
    machxo_state machxo;
    fault_state faults;
};

struct bus_state
{
    uint32_t number;
    uint32_t functionality;
    bool present;
};

struct shared_state
{
    uint32_t magic;
    uint32_t version;
    uint64_t file_size;
    pthread_mutex_t mutex; // process-shared and robust
    std::array<char, max_path> log_path;
    uint64_t transactions;
    uint32_t bus_count;
    uint32_t device_count;
    std::array<bus_state, max_buses> buses;
    std::array<device_state, max_devices> devices;
    // The flash arrays of the MachXO devices follow.
};

// Owns one read-write MAP_SHARED mapping of a state file.
class state_mapping
{
  public:
    state_mapping() = default;
    state_mapping(void* base, size_t size) noexcept;
    state_mapping(state_mapping&& other) noexcept;
    state_mapping& operator=(state_mapping&& other) noexcept;
    state_mapping(const state_mapping&) = delete;
    state_mapping& operator=(const state_mapping&) = delete;
    ~state_mapping();

    // Maps an existing, valid state file; returns 0 or an errno value.
    static int map(const char* path, state_mapping& out);

    shared_state* get() const noexcept
    {
        return static_cast<shared_state*>(base_);
    }

  private:
    void* base_ = nullptr;
    size_t size_ = 0;
};

// Holds the board's mutex; recovers it when its last owner died holding it.
class state_lock
{
  public:
    explicit state_lock(shared_state& state) noexcept;
    ~state_lock();
    state_lock(const state_lock&) = delete;
    state_lock& operator=(const state_lock&) = delete;

  private:
    shared_state& state_;
};

void init_mutex(shared_state& state);

bus_state* find_bus(shared_state& state, uint32_t number) noexcept;
device_state* find_device(shared_state& state, uint32_t bus,
                          uint8_t address) noexcept;
uint8_t* flash_of(shared_state& state, const machxo_state& machxo) noexcept;

} // namespace simboard::i2c
