#include "unmask.h"

void UnmaskInPlace(uint8_t* data, size_t length, const uint8_t* mask) {
  for (size_t i = 0; i < length; ++i) data[i] ^= mask[i & 3];
}
