#pragma once

#include <cstddef>

#include "zel/IBase.h"

namespace zel {

// Compresses and decompresses whole buffers in one call. Each implementation writes one
// fixed stream format (see the class) and reads only that format back.
//
// Threads: an object is not thread-safe. It keeps library state between calls to avoid
// allocating on every call, so give each thread (or each user) its own object.
//
// After a failure the object stays usable; the next call starts afresh. The target
// bytes up to `capacity` are unspecified after a failure, and bytes beyond `capacity`
// are never written.
class ISimpleCompressor : public virtual IBase {
 public:
  // A true upper bound of the compressed size of any sourceLength bytes. Throws
  // zel::CError when sourceLength is beyond what the format can take in one call.
  virtual std::size_t getMaxCompressedLength(std::size_t sourceLength) const = 0;

  // Compresses sourceLength bytes at source into target. Returns the length written;
  // never writes beyond capacity; throws zel::CError when the output does not fit or on
  // failure. A capacity of getMaxCompressedLength(sourceLength) always suffices.
  virtual std::size_t compress(const unsigned char* source, std::size_t sourceLength,
                               unsigned char* target, std::size_t capacity) = 0;

  // Decompresses exactly one compressed unit of sourceLength bytes into target. Returns
  // the length written; never writes beyond capacity. Malformed or truncated input,
  // trailing bytes after the compressed unit (where the format can tell), or output
  // that does not fit throws zel::CError. Output that exactly fills capacity is fine.
  virtual std::size_t decompress(const unsigned char* source, std::size_t sourceLength,
                                 unsigned char* target, std::size_t capacity) = 0;
};

}  // namespace zel
