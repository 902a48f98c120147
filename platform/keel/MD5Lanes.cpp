#include "keel/MD5Lanes.h"

#include <immintrin.h>

#include <bit>
#include <cstring>
#include <utility>

// GCC 12's AVX-512 intrinsics start some results from a deliberately undefined value
// (_mm512_undefined_epi32), which its flow analysis reports once they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// The vector code carries its instruction set in target attributes instead of compiler
// flags, so that nothing else in the project (inline functions from headers included)
// is compiled for a CPU it may not run on. Every helper is forced inline into the one
// attributed kernel that calls it.
#define KEEL_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl"), always_inline)) inline
#define KEEL_AVX2 __attribute__((target("avx2"), always_inline)) inline

namespace keel::md5_lanes {

namespace {

// Step i adds kSine[i], rotates by kShift[i / 16][i % 4] and takes message word
// kWord(i); round i / 16 chooses the function F, G, H or I.
constexpr std::uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};
constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

constexpr int kWord(int i) {
  switch (i / 16) {
    case 0:
      return i % 16;
    case 1:
      return (5 * i + 1) % 16;
    case 2:
      return (3 * i + 5) % 16;
    default:
      return (7 * i) % 16;
  }
}

// The four state words change roles every step: step i updates v[(4 - i % 4) % 4] from
// the three that follow it, which spares the register moves of a rotation.
constexpr int kA(int i) {
  return (4 - i % 4) % 4;
}

// --- AVX-512: 16 lanes --------------------------------------------------------------

// The round functions with one ternary-logic instruction each; the immediate is the
// truth table over (x, y, z).
template <int Round>
KEEL_AVX512 __m512i round512(__m512i x, __m512i y, __m512i z) {
  if constexpr (Round == 0) return _mm512_ternarylogic_epi32(x, y, z, 0xCA);  // x ? y : z
  if constexpr (Round == 1) return _mm512_ternarylogic_epi32(x, y, z, 0xE4);  // z ? x : y
  if constexpr (Round == 2) return _mm512_ternarylogic_epi32(x, y, z, 0x96);  // x ^ y ^ z
  if constexpr (Round == 3) return _mm512_ternarylogic_epi32(x, y, z, 0x39);  // y ^ (x | ~z)
}

template <int I>
KEEL_AVX512 void step512(__m512i (&v)[4], const __m512i (&m)[16]) {
  constexpr int a = kA(I), b = (a + 1) % 4, c = (a + 2) % 4, d = (a + 3) % 4;
  // A constant the unoptimised build folds too: the rotation takes an immediate.
  constexpr int shift = kShift[I / 16][I % 4];
  // v[b] is the newest word: add everything else first, so that the chain from it is
  // only function, add, rotate, add.
  __m512i t =
      _mm512_add_epi32(v[a], _mm512_add_epi32(m[kWord(I)], _mm512_set1_epi32(int(kSine[I]))));
  t = _mm512_add_epi32(t, round512<I / 16>(v[b], v[c], v[d]));
  v[a] = _mm512_add_epi32(v[b], _mm512_rol_epi32(t, shift));
}

template <std::size_t... I>
KEEL_AVX512 void steps512(__m512i (&v)[4], const __m512i (&m)[16], std::index_sequence<I...>) {
  (step512<int(I)>(v, m), ...);
}

// Rows r[lane] (a lane's 16 message words) into columns m[word] (one word of every lane).
KEEL_AVX512 void transpose512(const __m512i (&r)[16], __m512i (&m)[16]) {
  __m512i t[16], u[16];
  for (int k = 0; k < 8; ++k) {
    t[2 * k] = _mm512_unpacklo_epi32(r[2 * k], r[2 * k + 1]);
    t[2 * k + 1] = _mm512_unpackhi_epi32(r[2 * k], r[2 * k + 1]);
  }
  // Now u[4k + j], in its 128-bit quarter p, holds word 4p + j of rows 4k..4k+3.
  for (int k = 0; k < 4; ++k) {
    u[4 * k] = _mm512_unpacklo_epi64(t[4 * k], t[4 * k + 2]);
    u[4 * k + 1] = _mm512_unpackhi_epi64(t[4 * k], t[4 * k + 2]);
    u[4 * k + 2] = _mm512_unpacklo_epi64(t[4 * k + 1], t[4 * k + 3]);
    u[4 * k + 3] = _mm512_unpackhi_epi64(t[4 * k + 1], t[4 * k + 3]);
  }
  for (int j = 0; j < 4; ++j) {
    const __m512i p = _mm512_shuffle_i32x4(u[j], u[4 + j], 0x44);
    const __m512i q = _mm512_shuffle_i32x4(u[j], u[4 + j], 0xEE);
    const __m512i r2 = _mm512_shuffle_i32x4(u[8 + j], u[12 + j], 0x44);
    const __m512i s = _mm512_shuffle_i32x4(u[8 + j], u[12 + j], 0xEE);
    m[j] = _mm512_shuffle_i32x4(p, r2, 0x88);
    m[4 + j] = _mm512_shuffle_i32x4(p, r2, 0xDD);
    m[8 + j] = _mm512_shuffle_i32x4(q, s, 0x88);
    m[12 + j] = _mm512_shuffle_i32x4(q, s, 0xDD);
  }
}

// --- AVX2: 8 lanes --------------------------------------------------------------------

template <int Round>
KEEL_AVX2 __m256i round256(__m256i x, __m256i y, __m256i z) {
  if constexpr (Round == 0) return _mm256_xor_si256(z, _mm256_and_si256(x, _mm256_xor_si256(y, z)));
  if constexpr (Round == 1) return _mm256_xor_si256(y, _mm256_and_si256(z, _mm256_xor_si256(x, y)));
  if constexpr (Round == 2) return _mm256_xor_si256(_mm256_xor_si256(x, y), z);
  if constexpr (Round == 3) {
    return _mm256_xor_si256(y, _mm256_or_si256(x, _mm256_xor_si256(z, _mm256_set1_epi32(-1))));
  }
}

template <int I>
KEEL_AVX2 void step256(__m256i (&v)[4], const __m256i (&m)[16]) {
  constexpr int a = kA(I), b = (a + 1) % 4, c = (a + 2) % 4, d = (a + 3) % 4;
  constexpr int shift = kShift[I / 16][I % 4];
  __m256i t =
      _mm256_add_epi32(v[a], _mm256_add_epi32(m[kWord(I)], _mm256_set1_epi32(int(kSine[I]))));
  t = _mm256_add_epi32(t, round256<I / 16>(v[b], v[c], v[d]));
  t = _mm256_or_si256(_mm256_slli_epi32(t, shift), _mm256_srli_epi32(t, 32 - shift));
  v[a] = _mm256_add_epi32(v[b], t);
}

template <std::size_t... I>
KEEL_AVX2 void steps256(__m256i (&v)[4], const __m256i (&m)[16], std::index_sequence<I...>) {
  (step256<int(I)>(v, m), ...);
}

// Eight rows of eight words into eight columns; `m` receives them at m[0..7].
KEEL_AVX2 void transpose256(const __m256i (&r)[8], __m256i* m) {
  __m256i t[8], u[8];
  for (int k = 0; k < 4; ++k) {
    t[2 * k] = _mm256_unpacklo_epi32(r[2 * k], r[2 * k + 1]);
    t[2 * k + 1] = _mm256_unpackhi_epi32(r[2 * k], r[2 * k + 1]);
  }
  for (int k = 0; k < 2; ++k) {
    u[4 * k] = _mm256_unpacklo_epi64(t[4 * k], t[4 * k + 2]);
    u[4 * k + 1] = _mm256_unpackhi_epi64(t[4 * k], t[4 * k + 2]);
    u[4 * k + 2] = _mm256_unpacklo_epi64(t[4 * k + 1], t[4 * k + 3]);
    u[4 * k + 3] = _mm256_unpackhi_epi64(t[4 * k + 1], t[4 * k + 3]);
  }
  for (int j = 0; j < 4; ++j) {
    m[j] = _mm256_permute2x128_si256(u[j], u[4 + j], 0x20);
    m[4 + j] = _mm256_permute2x128_si256(u[j], u[4 + j], 0x31);
  }
}

// --- Scalar: one message --------------------------------------------------------------

template <int I>
inline void stepScalar(std::uint32_t (&v)[4], const std::uint32_t (&m)[16]) {
  constexpr int a = kA(I), b = (a + 1) % 4, c = (a + 2) % 4, d = (a + 3) % 4;
  std::uint32_t f;
  if constexpr (I / 16 == 0) f = v[d] ^ (v[b] & (v[c] ^ v[d]));
  if constexpr (I / 16 == 1) f = v[c] ^ (v[d] & (v[b] ^ v[c]));
  if constexpr (I / 16 == 2) f = v[b] ^ v[c] ^ v[d];
  if constexpr (I / 16 == 3) f = v[c] ^ (v[b] | ~v[d]);
  v[a] = v[b] + std::rotl(v[a] + m[kWord(I)] + kSine[I] + f, kShift[I / 16][I % 4]);
}

template <std::size_t... I>
inline void stepsScalar(std::uint32_t (&v)[4], const std::uint32_t (&m)[16],
                        std::index_sequence<I...>) {
  (stepScalar<int(I)>(v, m), ...);
}

}  // namespace

bool hasAVX512() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl");
}

bool hasAVX2() {
  return __builtin_cpu_supports("avx2");
}

__attribute__((target("avx512f,avx512bw,avx512vl"))) void compressAVX512(Lanes& lanes,
                                                                         std::size_t blocks) {
  __m512i v[4];
  for (int w = 0; w < 4; ++w)
    v[w] = _mm512_load_si512(lanes.state[w]);
  for (; blocks > 0; --blocks) {
    __m512i rows[16], m[16];
    for (int lane = 0; lane < 16; ++lane) {
      rows[lane] = _mm512_loadu_si512(lanes.next[lane]);
      lanes.next[lane] += lanes.step[lane];
    }
    transpose512(rows, m);
    const __m512i before[4] = {v[0], v[1], v[2], v[3]};
    steps512(v, m, std::make_index_sequence<64>());
    for (int w = 0; w < 4; ++w)
      v[w] = _mm512_add_epi32(v[w], before[w]);
  }
  for (int w = 0; w < 4; ++w)
    _mm512_store_si512(lanes.state[w], v[w]);
}

__attribute__((target("avx2"))) void compressAVX2(Lanes& lanes, std::size_t blocks) {
  __m256i v[4];
  for (int w = 0; w < 4; ++w)
    v[w] = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes.state[w]));
  for (; blocks > 0; --blocks) {
    __m256i low[8], high[8], m[16];
    for (int lane = 0; lane < 8; ++lane) {
      low[lane] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes.next[lane]));
      high[lane] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes.next[lane] + 32));
      lanes.next[lane] += lanes.step[lane];
    }
    transpose256(low, m);
    transpose256(high, m + 8);
    const __m256i before[4] = {v[0], v[1], v[2], v[3]};
    steps256(v, m, std::make_index_sequence<64>());
    for (int w = 0; w < 4; ++w)
      v[w] = _mm256_add_epi32(v[w], before[w]);
  }
  for (int w = 0; w < 4; ++w)
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes.state[w]), v[w]);
}

void compressScalar(std::uint32_t (&state)[4], const unsigned char* data, std::size_t blocks) {
  std::uint32_t v[4] = {state[0], state[1], state[2], state[3]};
  for (; blocks > 0; --blocks, data += kBlockLength) {
    std::uint32_t m[16];
    std::memcpy(m, data, sizeof(m));  // little-endian words, as on every CPU this runs on
    stepsScalar(v, m, std::make_index_sequence<64>());
    for (int w = 0; w < 4; ++w)
      v[w] = state[w] += v[w];
  }
}

}  // namespace keel::md5_lanes
