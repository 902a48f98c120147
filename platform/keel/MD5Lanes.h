#pragma once

#include <cstddef>
#include <cstdint>

namespace keel::md5_lanes {

// The MD5 compression function (RFC 1321) over many independent messages at once, one
// per 32-bit lane of a vector register: 16 lanes with AVX-512, 8 with AVX2. Only the
// block function lives here; padding, lengths and the choice of what each lane hashes
// are the caller's (CMD5Batch).

constexpr int kMaxLanes = 16;
constexpr std::size_t kBlockLength = 64;

// What the kernels work on. state[w][lane] is word w (A, B, C, D) of a lane's digest.
// next[lane] is the lane's next 64-byte block; each block processed moves it on by
// step[lane] bytes: 64 for a lane that hashes, 0 for an idle one, which keeps reading
// one harmless block and whose state nobody reads.
struct Lanes {
  alignas(64) std::uint32_t state[4][kMaxLanes];
  const unsigned char* next[kMaxLanes];
  std::size_t step[kMaxLanes];
};

// True when the CPU (and the operating system) can run the kernel.
bool hasAVX512();
bool hasAVX2();

// Compresses `blocks` blocks in every lane: lanes 0..15 for AVX-512, 0..7 for AVX2.
// Call only when the matching has...() is true.
void compressAVX512(Lanes& lanes, std::size_t blocks);
void compressAVX2(Lanes& lanes, std::size_t blocks);

// One message, `blocks` blocks at `data`, in plain integer code: for the last buffer of
// a batch, which a vector would run with every other lane idle.
void compressScalar(std::uint32_t (&state)[4], const unsigned char* data, std::size_t blocks);

}  // namespace keel::md5_lanes
