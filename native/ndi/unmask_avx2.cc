// AVX2 unmask kernel. This file alone is compiled with -mavx2, and it includes no header
// with inline functions, so no AVX2 code can stand in for code the other files share.

#include <immintrin.h>

#include "unmask_paths.h"

void UnmaskAvx2(uint8_t* data, size_t length, uint32_t key) {
  size_t head = (0 - reinterpret_cast<uintptr_t>(data)) & 31;
  if (head > length) head = length;
  UnmaskScalar(data, head, key);
  data += head;
  length -= head;
  key = RotateKey(key, head);

  const __m256i k = _mm256_set1_epi32(static_cast<int>(key));
  for (; length >= 128; data += 128, length -= 128) {
    __m256i* p = reinterpret_cast<__m256i*>(data);
    const __m256i a = _mm256_xor_si256(_mm256_load_si256(p + 0), k);
    const __m256i b = _mm256_xor_si256(_mm256_load_si256(p + 1), k);
    const __m256i c = _mm256_xor_si256(_mm256_load_si256(p + 2), k);
    const __m256i d = _mm256_xor_si256(_mm256_load_si256(p + 3), k);
    _mm256_store_si256(p + 0, a);
    _mm256_store_si256(p + 1, b);
    _mm256_store_si256(p + 2, c);
    _mm256_store_si256(p + 3, d);
  }
  for (; length >= 32; data += 32, length -= 32) {
    __m256i* p = reinterpret_cast<__m256i*>(data);
    _mm256_store_si256(p, _mm256_xor_si256(_mm256_load_si256(p), k));
  }
  UnmaskScalar(data, length, key);
}
