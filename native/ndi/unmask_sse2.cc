// SSE2 unmask kernel: the baseline every x64 CPU runs.

#include <emmintrin.h>

#include "unmask_paths.h"

void UnmaskSse2(uint8_t* data, size_t length, uint32_t key) {
  // Aligned stores from here on; the head keeps its own key phase.
  size_t head = (0 - reinterpret_cast<uintptr_t>(data)) & 15;
  if (head > length) head = length;
  UnmaskScalar(data, head, key);
  data += head;
  length -= head;
  key = RotateKey(key, head);

  const __m128i k = _mm_set1_epi32(static_cast<int>(key));
  for (; length >= 64; data += 64, length -= 64) {
    __m128i* p = reinterpret_cast<__m128i*>(data);
    const __m128i a = _mm_xor_si128(_mm_load_si128(p + 0), k);
    const __m128i b = _mm_xor_si128(_mm_load_si128(p + 1), k);
    const __m128i c = _mm_xor_si128(_mm_load_si128(p + 2), k);
    const __m128i d = _mm_xor_si128(_mm_load_si128(p + 3), k);
    _mm_store_si128(p + 0, a);
    _mm_store_si128(p + 1, b);
    _mm_store_si128(p + 2, c);
    _mm_store_si128(p + 3, d);
  }
  for (; length >= 16; data += 16, length -= 16) {
    __m128i* p = reinterpret_cast<__m128i*>(data);
    _mm_store_si128(p, _mm_xor_si128(_mm_load_si128(p), k));
  }
  UnmaskScalar(data, length, key);  // a whole number of 16-byte blocks keeps the phase
}
