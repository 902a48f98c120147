#pragma once

#include <cstddef>

#include "keel/Batch.h"

namespace keel {

// MD5 of many independent buffers at once. One MD5 stream cannot use the vector units
// (each block depends on the one before), but separate buffers can: each takes a 32-bit
// lane, 16 at a time with AVX-512 or 8 with AVX2. Buffers of any length may be mixed in
// one batch; lanes whose buffer ends take the next one, longest first, so batches of
// equal sizes (the common case: flecks) keep every lane busy to the end, and the last
// buffer left finishes in plain code instead of one lane of sixteen.
//
// The engine is chosen once per process: AVX-512 when the CPU has it, else AVX2, else
// OpenSSL one buffer at a time. The first use of a vector engine in a process checks it
// against known answers (RFC 1321's test strings in every lane, and a batch of mixed
// lengths against OpenSSL); an engine that fails is logged once and replaced by OpenSSL.
// FLECK_KEEL_SCALAR=1 in the environment selects OpenSSL from the start (see
// isBatchScalarForced). A batch of one buffer always goes to OpenSSL, whose one-stream
// code is as fast as a single lane.
//
// Stateless apart from that one-time choice: any number of threads may call at once.
class CMD5Batch final {
 public:
  static constexpr int kLength = 16;

  enum class Engine { Auto, AVX512, AVX2, OpenSSL };

  // Writes the digest of buffers[i] to digests + 16 * i, for i < count. Throws
  // zel::CInvalidArgError for null pointers where there are bytes, CCryptoError when
  // OpenSSL fails.
  static void digest(const BatchBuffer* buffers, std::size_t count, unsigned char* digests);

  // The same with a given engine, for tests and benchmarks; Auto is what digest uses.
  // An engine the CPU lacks, or one that failed its check, throws zel::CInvalidArgError.
  static void digestWith(Engine engine, const BatchBuffer* buffers, std::size_t count,
                         unsigned char* digests);

  // What Auto resolves to in this process (never Auto). The first call runs the check.
  static Engine getEngine();
  // True when `engine` runs on this CPU and passed its check (OpenSSL and Auto: true).
  static bool isUsable(Engine engine);
  // "avx512", "avx2", "openssl" ("auto" for Auto).
  static const char* getEngineName(Engine engine);
};

}  // namespace keel
