#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "compress/CLZMAMemoryCache.h"
#include "compress/ISimpleCompressor.h"
#include "zel/CBase.h"
#include "zel/String.h"

namespace zel {

// .xz streams: one stream holding one block (none for empty input) with an LZMA2 filter
// set up from an xz preset, a CRC64 of the uncompressed data, and the compressed and
// uncompressed sizes in the block header. The dictionary is the preset's, but no larger
// than the input needs (the input length rounded up to a power of two, at least 4 KiB):
// a larger one cannot find more matches and only costs memory on both sides.
//
// decompress reads exactly one .xz stream with any integrity check liblzma can verify
// (CRC32, CRC64, SHA-256) and verifies it. It rejects streams without a check or with a
// check it cannot verify, truncated streams, trailing bytes (also stream padding),
// output beyond capacity, and streams whose decoder would need more than
// kDecoderMemoryLimit.
//
// Memory: compress uses liblzma's one-call encoder, which sets up and frees its tables
// inside every call; a CLZMAMemoryCache keeps those blocks, so repeated calls of the
// same size allocate nothing in steady state. decompress keeps liblzma's stream decoder
// (which reuses its dictionary when the next stream asks for the same size) and lends it
// a cache of its own for its small per-stream allocations. Between calls the object
// holds the last compress's working set and the last decompress's dictionary (preset 6
// on 1 MiB: about 12.5 MiB and 1 MiB; on 64 KiB: about 2 MiB and 0.1 MiB). Not
// thread-safe: one object per user.
class CLZMACompressor final : public CBase, public virtual ISimpleCompressor {
 public:
  // Memory the decoder may use; a bound that garbage input cannot talk it out of.
  static constexpr std::uint64_t kDecoderMemoryLimit = std::uint64_t{256} << 20;

  // first: xz preset 0 (fastest) to 9 (smallest); anything else throws
  // zel::CInvalidArgError. second non-zero adds LZMA_PRESET_EXTREME (slower, a little
  // smaller).
  CLZMACompressor(int first, int second);
  ~CLZMACompressor() override;
  CLZMACompressor(const CLZMACompressor&) = delete;
  CLZMACompressor& operator=(const CLZMACompressor&) = delete;

  // lzma_stream_buffer_bound.
  std::size_t getMaxCompressedLength(std::size_t sourceLength) const override;
  std::size_t compress(const unsigned char* source, std::size_t sourceLength, unsigned char* target,
                       std::size_t capacity) override;
  std::size_t decompress(const unsigned char* source, std::size_t sourceLength,
                         unsigned char* target, std::size_t capacity) override;

  // The preset flags passed to liblzma (level | LZMA_PRESET_EXTREME).
  std::uint32_t getPreset() const noexcept { return preset; }

 private:
  [[noreturn]] void fail(const char* operation, const String& problem, int lzmaCode,
                         std::size_t sourceLength, std::size_t capacity) const;

  struct Decoder;  // liblzma's multi-call stream decoder, kept between calls
  Decoder& getDecoder();
  void dropDecoder() noexcept;

  const std::uint32_t preset;
  const String name;  // "xz-<level>" or "xz-<level>e", for errors
  // Separate caches, so that a decompress does not trim the encoder's working set away.
  CLZMAMemoryCache encoderMemory;  // lent to liblzma during each compress
  CLZMAMemoryCache decoderMemory;  // lent to the decoder
  // Made by the first decompress; dropped after a failed one (garbage may have made it
  // allocate a large dictionary). Declared after decoderMemory, which must outlive it.
  std::unique_ptr<Decoder> decoder;
};

}  // namespace zel
