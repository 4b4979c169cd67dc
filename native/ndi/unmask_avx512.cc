// AVX-512BW unmask kernel. This file alone is compiled with -mavx512f -mavx512bw, and it
// includes no header with inline functions, so no AVX-512 code can stand in for code the
// other files share. Head and tail use byte-masked loads and stores: bytes outside the
// buffer are neither written nor (being masked) able to fault.

#include <immintrin.h>

#include "unmask_paths.h"

namespace {

__mmask64 FirstBytes(size_t count) {  // count < 64
  return static_cast<__mmask64>((uint64_t{1} << count) - 1);
}

}  // namespace

void UnmaskAvx512(uint8_t* data, size_t length, uint32_t key) {
  size_t head = (0 - reinterpret_cast<uintptr_t>(data)) & 63;
  if (head > length) head = length;
  if (head != 0) {
    const __mmask64 m = FirstBytes(head);
    const __m512i k = _mm512_set1_epi32(static_cast<int>(key));
    _mm512_mask_storeu_epi8(data, m, _mm512_xor_si512(_mm512_maskz_loadu_epi8(m, data), k));
    data += head;
    length -= head;
    key = RotateKey(key, head);
  }

  const __m512i k = _mm512_set1_epi32(static_cast<int>(key));
  for (; length >= 256; data += 256, length -= 256) {
    __m512i* p = reinterpret_cast<__m512i*>(data);
    const __m512i a = _mm512_xor_si512(_mm512_load_si512(p + 0), k);
    const __m512i b = _mm512_xor_si512(_mm512_load_si512(p + 1), k);
    const __m512i c = _mm512_xor_si512(_mm512_load_si512(p + 2), k);
    const __m512i d = _mm512_xor_si512(_mm512_load_si512(p + 3), k);
    _mm512_store_si512(p + 0, a);
    _mm512_store_si512(p + 1, b);
    _mm512_store_si512(p + 2, c);
    _mm512_store_si512(p + 3, d);
  }
  for (; length >= 64; data += 64, length -= 64) {
    __m512i* p = reinterpret_cast<__m512i*>(data);
    _mm512_store_si512(p, _mm512_xor_si512(_mm512_load_si512(p), k));
  }
  if (length != 0) {
    const __mmask64 m = FirstBytes(length);
    _mm512_mask_storeu_epi8(data, m, _mm512_xor_si512(_mm512_maskz_loadu_epi8(m, data), k));
  }
}
