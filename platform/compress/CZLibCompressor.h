#pragma once

#include <cstddef>
#include <memory>

#include "compress/ISimpleCompressor.h"
#include "zel/CBase.h"
#include "zel/String.h"

struct z_stream_s;

namespace zel {

// zlib streams (RFC 1950: a 2-byte header, deflate data, the Adler-32 of the input)
// written by deflate at a fixed level with zlib's default window (32 KiB), memory level
// and strategy, and no preset dictionary. decompress reads exactly one such stream,
// written at any level, and rejects a dictionary, trailing bytes, a truncated stream and
// output beyond capacity.
//
// Memory: the deflate state (about 256 KiB) is made by the first compress and the
// inflate state by the first decompress; later calls reset and reuse them, so steady
// state allocates nothing. Not thread-safe: one object per user.
class CZLibCompressor final : public CBase, public virtual ISimpleCompressor {
 public:
  // level 0 (stored, no compression) to 9 (smallest); anything else throws
  // zel::CInvalidArgError.
  explicit CZLibCompressor(int level);
  ~CZLibCompressor() override;
  CZLibCompressor(const CZLibCompressor&) = delete;
  CZLibCompressor& operator=(const CZLibCompressor&) = delete;

  // zlib's compressBound, which covers every level at our window and memory settings.
  std::size_t getMaxCompressedLength(std::size_t sourceLength) const override;
  std::size_t compress(const unsigned char* source, std::size_t sourceLength, unsigned char* target,
                       std::size_t capacity) override;
  std::size_t decompress(const unsigned char* source, std::size_t sourceLength,
                         unsigned char* target, std::size_t capacity) override;

 private:
  [[noreturn]] void fail(const char* operation, const String& problem, int zlibCode,
                         const char* zlibText, std::size_t sourceLength,
                         std::size_t capacity) const;

  const int level;
  const String name;  // "zlib-<level>", for errors
  // Initialised streams, or null until first use. After a failure a stream is left
  // mid-way; the next call resets it before use.
  std::unique_ptr<z_stream_s> deflater;
  std::unique_ptr<z_stream_s> inflater;
};

}  // namespace zel
