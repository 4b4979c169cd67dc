// The unmask kernels behind UnmaskInPlace, one per instruction set. Internal to the
// unmasker; exposed so that the tests can run every kernel this CPU supports directly.
#pragma once

#include <cstddef>
#include <cstdint>

// A kernel XORs data[i] with byte (i % 4) of `key` for i = 0 .. length-1, byte 0 being
// the low byte. The key is a value: a kernel never reads mask memory, so it is exact only
// where the mask cannot change under it (UnmaskWithKernel arranges that).
using UnmaskKernel = void (*)(uint8_t* data, size_t length, uint32_t key);

void UnmaskScalar(uint8_t* data, size_t length, uint32_t key);
void UnmaskSse2(uint8_t* data, size_t length, uint32_t key);
// Callable only when CpuHasAvx2().
void UnmaskAvx2(uint8_t* data, size_t length, uint32_t key);
// Callable only when CpuHasAvx512Bw().
void UnmaskAvx512(uint8_t* data, size_t length, uint32_t key);

// True when the CPU has the instructions and the OS saves their registers.
bool CpuHasAvx2();
bool CpuHasAvx512Bw();

// The widest kernel this machine runs, chosen on first use, and its name for reports.
UnmaskKernel SelectedUnmaskKernel();
const char* UnmaskKernelName(UnmaskKernel kernel);

// UnmaskInPlace with the given kernel for every stretch where the mask is stable.
void UnmaskWithKernel(UnmaskKernel kernel, uint8_t* data, size_t length, const uint8_t* mask);

// Key for data that starts `offset` bytes into the mask cycle. Out of line on purpose:
// this header is included by files built for wider instruction sets.
uint32_t RotateKey(uint32_t key, size_t offset);
