// Removes (or applies) a 4-byte XOR mask in place.
#pragma once

#include <cstddef>
#include <cstdint>

// data[i] ^= mask[i % 4] for i = 0 .. length-1, in increasing order, with the result byte
// for byte that of that loop even when `mask` lies inside `data`.
void UnmaskInPlace(uint8_t* data, size_t length, const uint8_t* mask);
