#pragma once

#include <cstddef>
#include <vector>

#include "compress/ISimpleCompressor.h"
#include "zel/CBase.h"
#include "zel/String.h"

namespace zel {

// LZ4 raw blocks: the block format alone, with no frame, no checksum and no length
// header. The original size is not stored: decompress needs a capacity at least that
// large, and output beyond capacity is an error. 0 bytes compress to the one-byte empty
// block (a single 0 token); decompressing 0 bytes is an error, since no block is empty. Because
// there is no checksum, corrupt input that still parses decodes to wrong bytes (within capacity)
// instead of an error; callers that need integrity check a digest themselves.
//
// Limits: one block holds at most LZ4_MAX_INPUT_SIZE (about 2 GiB) of input; larger
// sources, and the bound of such sizes, throw zel::CError. Capacities above INT_MAX are
// treated as INT_MAX.
//
// Memory: the compression state (16 KiB, or 256 KiB for high compression) is allocated
// once by the constructor; calls allocate nothing. Not thread-safe: one object per user.
class CLZ4Compressor final : public CBase, public virtual ISimpleCompressor {
 public:
  // highCompression selects the HC compressor at LZ4HC_CLEVEL_DEFAULT; otherwise the
  // fast compressor at acceleration 1. Both write the same block format.
  explicit CLZ4Compressor(bool highCompression);
  ~CLZ4Compressor() override;
  CLZ4Compressor(const CLZ4Compressor&) = delete;
  CLZ4Compressor& operator=(const CLZ4Compressor&) = delete;

  std::size_t getMaxCompressedLength(std::size_t sourceLength) const override;
  std::size_t compress(const unsigned char* source, std::size_t sourceLength, unsigned char* target,
                       std::size_t capacity) override;
  std::size_t decompress(const unsigned char* source, std::size_t sourceLength,
                         unsigned char* target, std::size_t capacity) override;

 private:
  [[noreturn]] void fail(const char* operation, const String& problem, int lz4Code, bool hasCode,
                         std::size_t sourceLength, std::size_t capacity) const;

  const bool highCompression;
  // The library's compression state, reinitialised by every compress. max_align_t
  // elements give the alignment the library asks for.
  std::vector<std::max_align_t> state;
};

}  // namespace zel
