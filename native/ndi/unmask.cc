// Removes a 4-byte XOR mask in place: the reference loop's result, at memory speed.
//
// The mask may be a view into the buffer itself. Then the reference loop, which reads the
// mask at every step, sees mask bytes it has already changed. Only the (at most four)
// buffer positions that hold mask bytes are done byte by byte; before them the mask is
// still original and after them it is final, so both stretches go to a vector kernel.

#include "unmask.h"

#include <cstring>

#include "unmask_paths.h"

void UnmaskScalar(uint8_t* data, size_t length, uint32_t key) {
  for (size_t i = 0; i < length; ++i) {
    data[i] ^= static_cast<uint8_t>(key >> ((i & 3) * 8));
  }
}

uint32_t RotateKey(uint32_t key, size_t offset) {
  const unsigned shift = static_cast<unsigned>(offset & 3) * 8;
  return shift == 0 ? key : (key >> shift) | (key << (32 - shift));
}

bool CpuHasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

bool CpuHasAvx512Bw() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
}

namespace {

UnmaskKernel ChooseUnmaskKernel() {
  if (CpuHasAvx512Bw()) return UnmaskAvx512;
  if (CpuHasAvx2()) return UnmaskAvx2;
  return UnmaskSse2;  // every x64 CPU has SSE2
}

uint32_t LoadKey(const uint8_t* mask) {
  uint32_t key;
  std::memcpy(&key, mask, sizeof key);  // memory order = little-endian byte order
  return key;
}

}  // namespace

UnmaskKernel SelectedUnmaskKernel() {
  static const UnmaskKernel kernel = ChooseUnmaskKernel();
  return kernel;
}

const char* UnmaskKernelName(UnmaskKernel kernel) {
  if (kernel == UnmaskAvx512) return "avx512bw";
  if (kernel == UnmaskAvx2) return "avx2";
  if (kernel == UnmaskSse2) return "sse2";
  if (kernel == UnmaskScalar) return "scalar";
  return "unknown";
}

void UnmaskWithKernel(UnmaskKernel kernel, uint8_t* data, size_t length, const uint8_t* mask) {
  const uintptr_t begin = reinterpret_cast<uintptr_t>(data);
  const uintptr_t at = reinterpret_cast<uintptr_t>(mask);
  if (length == 0) return;
  if (at + 4 <= begin || at >= begin + length) {
    kernel(data, length, LoadKey(mask));
    return;
  }
  // Buffer positions [first, last) hold mask bytes.
  const size_t first = at > begin ? at - begin : 0;
  const size_t last = at + 4 - begin < length ? at + 4 - begin : length;
  kernel(data, first, LoadKey(mask));
  for (size_t i = first; i < last; ++i) data[i] ^= mask[i & 3];
  if (last < length) kernel(data + last, length - last, RotateKey(LoadKey(mask), last));
}

void UnmaskInPlace(uint8_t* data, size_t length, const uint8_t* mask) {
  UnmaskWithKernel(SelectedUnmaskKernel(), data, length, mask);
}
