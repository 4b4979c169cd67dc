// FNV-1a 64 of a frame as 16 hex digits, the checksum the stand-in NDI runtime logs.
// The 64-bit state is kept in two 32-bit halves: hash * (2^40 + 0x1b3) mod 2^64.
export function fnv1a64(bytes) {
  let hi = 0xcbf29ce4;
  let lo = 0x84222325;
  for (let i = 0; i < bytes.length; i++) {
    lo ^= bytes[i];
    const low = (lo >>> 0) * 0x1b3;
    hi = (hi * 0x1b3 + Math.floor(low / 0x100000000) + (lo << 8)) >>> 0;
    lo = low >>> 0;
  }
  return hi.toString(16).padStart(8, '0') + lo.toString(16).padStart(8, '0');
}
