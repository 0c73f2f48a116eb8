#pragma once

#include "simboard/i2c/state.hpp"

#include <cstdint>
#include <span>

namespace simboard::i2c
{

// One bus transaction: an optional write message, then an optional read
// message with a repeated start, both to the same address.
struct transaction
{
    uint32_t bus;
    uint8_t address;
    std::span<const uint8_t> written;
    std::span<uint8_t> read; // filled only when the transaction succeeds
};

// Runs a transaction on the board and appends it to the transaction log.
// The caller holds the board's lock.  Returns 0, ENODEV (bus dropped),
// ENXIO (no device answers the address) or EREMOTEIO (the device NACKed).
int run_transaction(shared_state& state, const transaction& t);

} // namespace simboard::i2c
