#pragma once

// The board maker's utility library. Our own build provides exactly these
// two functions; on a board image the vendor's library replaces it.

// Stores the board's capability word through `flags`. Returns 0 on success,
// any other value on failure.
int getCapbilityFlags(unsigned long long* flags);

// Reads register `reg` of the device at 7-bit address `addr` on I2C bus
// `bus` into `value`. Returns 0 when one byte was read, any other value on
// failure (then `value` is left untouched).
int i2cGet(unsigned char bus, unsigned char addr, unsigned char reg,
           unsigned char* value);
