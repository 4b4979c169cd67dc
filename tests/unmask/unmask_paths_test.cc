// Runs every unmask kernel this CPU supports, directly and through the overlap handling,
// against the reference loop that reads the mask from memory at every step. Buffers sit
// at every alignment inside guarded blocks, so a kernel that touches a byte outside its
// buffer fails as well. Usage: unmask_paths_test [seed]

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "unmask.h"
#include "unmask_paths.h"

namespace {

const size_t kGuard = 80;  // bytes of block before and after each buffer

void ReferenceUnmask(uint8_t* data, size_t length, const uint8_t* mask) {
  for (size_t i = 0; i < length; ++i) data[i] ^= mask[i % 4];
}

struct Path {
  const char* name;
  UnmaskKernel kernel;
  bool supported;
  const char* missing;
};

struct Tally {
  unsigned cases = 0;
  unsigned failures = 0;
};

std::vector<uint8_t> RandomBlock(std::mt19937_64& rng, size_t size) {
  std::vector<uint8_t> block(size);
  for (auto& b : block) b = static_cast<uint8_t>(rng());
  return block;
}

void Check(Tally& tally, const char* path, const char* what, size_t length, size_t offset,
           long mask_at, const std::vector<uint8_t>& got, const std::vector<uint8_t>& want) {
  ++tally.cases;
  if (got == want) return;
  size_t first = 0;
  while (got[first] == want[first]) ++first;
  if (++tally.failures <= 10) {
    std::printf("FAIL %s %s: length %zu offset %zu mask at %ld: first wrong block byte %zu "
                "(got %02x want %02x)\n", path, what, length, offset, mask_at, first,
                got[first], want[first]);
  }
}

// The kernel alone, with the mask given as a key.
void RunKernelCase(Tally& tally, const Path& path, std::mt19937_64& rng, size_t length) {
  const size_t offset = rng() % 64;
  std::vector<uint8_t> got = RandomBlock(rng, kGuard + offset + length + kGuard);
  std::vector<uint8_t> want = got;
  uint8_t mask[4];
  for (auto& b : mask) b = static_cast<uint8_t>(rng());
  uint32_t key;
  std::memcpy(&key, mask, 4);
  path.kernel(got.data() + kGuard + offset, length, key);
  ReferenceUnmask(want.data() + kGuard + offset, length, mask);
  Check(tally, path.name, "kernel", length, offset, -1, got, want);
}

// The whole unmasker with the mask in memory: apart from the buffer, just before or just
// after it, or overlapping it anywhere from 3 bytes before its start to its last byte.
void RunMaskCase(Tally& tally, const Path& path, std::mt19937_64& rng, size_t length,
                 long mask_at, bool dispatch) {
  const size_t offset = rng() % 64;
  std::vector<uint8_t> got = RandomBlock(rng, kGuard + offset + length + kGuard);
  std::vector<uint8_t> want = got;
  const size_t start = kGuard + offset;
  const size_t mask_index = static_cast<size_t>(static_cast<long>(start) + mask_at);
  if (dispatch) {
    UnmaskInPlace(got.data() + start, length, got.data() + mask_index);
  } else {
    UnmaskWithKernel(path.kernel, got.data() + start, length, got.data() + mask_index);
  }
  ReferenceUnmask(want.data() + start, length, want.data() + mask_index);
  Check(tally, path.name, mask_at >= -3 && mask_at < static_cast<long>(length) ? "overlap" : "mask",
        length, offset, mask_at, got, want);
}

long RandomMaskPosition(std::mt19937_64& rng, size_t length) {
  switch (rng() % 4) {
    case 0: return -4 - static_cast<long>(rng() % 40);                // before, apart
    case 1: return static_cast<long>(length + rng() % 40);            // after, apart
    default: return static_cast<long>(rng() % (length + 3)) - 3;     // overlapping
  }
}

void RunPath(Tally& tally, const Path& path, std::mt19937_64& rng, bool dispatch) {
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (int i = 0; i < 12; ++i) lengths.push_back(301 + rng() % 5000);
  for (int i = 0; i < 3; ++i) lengths.push_back((size_t{1} << 20) + rng() % 4096);
  for (size_t length : lengths) {
    for (int round = 0; round < 3; ++round) {
      if (!dispatch) RunKernelCase(tally, path, rng, length);
      RunMaskCase(tally, path, rng, length, RandomMaskPosition(rng, length), dispatch);
    }
    // The edges: mask bytes straddling the buffer's first byte, first and last mask-sized
    // positions, and a mask touching the buffer from either side.
    const long edges[] = {-4, -3, -2, -1, 0, 1, static_cast<long>(length) - 4,
                          static_cast<long>(length) - 1, static_cast<long>(length)};
    for (long at : edges) {
      if (at < -4 || at > static_cast<long>(length)) continue;
      RunMaskCase(tally, path, rng, length, at, dispatch);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned long seed = argc > 1 ? std::strtoul(argv[1], nullptr, 0) : 20261207ul;
  std::mt19937_64 rng(seed);
  std::printf("seed %lu\n", seed);

  const Path paths[] = {
      {"scalar", UnmaskScalar, true, ""},
      {"sse2", UnmaskSse2, true, ""},
      {"avx2", UnmaskAvx2, CpuHasAvx2(), "AVX2"},
      {"avx512bw", UnmaskAvx512, CpuHasAvx512Bw(), "AVX-512BW"},
  };
  unsigned failures = 0;
  for (const Path& path : paths) {
    if (!path.supported) {
      std::printf("skipped %s: this CPU lacks %s\n", path.name, path.missing);
      continue;
    }
    Tally tally;
    RunPath(tally, path, rng, false);
    std::printf("%s %s: %u cases\n", tally.failures ? "FAILED" : "ok", path.name, tally.cases);
    failures += tally.failures;
  }

  // UnmaskInPlace as the addon calls it, with the kernel picked for this machine.
  const UnmaskKernel selected = SelectedUnmaskKernel();
  const Path dispatched = {UnmaskKernelName(selected), selected, true, ""};
  Tally tally;
  RunPath(tally, dispatched, rng, true);
  std::printf("%s UnmaskInPlace (selected kernel %s): %u cases\n",
              tally.failures ? "FAILED" : "ok", dispatched.name, tally.cases);
  failures += tally.failures;

  std::printf("%s\n", failures ? "unmask paths: FAILED" : "unmask paths: all exact");
  return failures ? 1 : 0;
}
