#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "zel/CError.h"

namespace fleck::ops {

// Where an export writes the bytes of a disk: in order through write() (one writer at a
// time), or, where the output has positions (canWriteAt), through writeAt() from many
// threads at once, in any order. An output takes one way or the other, not both.
class IImageSink {
 public:
  virtual ~IImageSink() = default;

  // Writes the next `count` bytes. Throws a zel error on failure.
  virtual void write(const unsigned char* data, std::size_t count) = 0;
  // True when writeAt may be used.
  virtual bool canWriteAt() const { return false; }
  // Writes `count` bytes at `offset` from the output's start; any thread, concurrently
  // with other writeAt calls for other ranges. Throws a zel error on failure.
  virtual void writeAt(std::int64_t offset, const unsigned char* data, std::size_t count);
  // Ends the output after the last write. Throws a zel error on failure.
  virtual void finish() = 0;
  // Bytes that were left as holes instead of written (sparse outputs).
  virtual std::int64_t getSkippedBytes() const { return 0; }
  // The output as people name it.
  virtual std::string describe() const = 0;
};

inline void IImageSink::writeAt(std::int64_t, const unsigned char*, std::size_t) {
  throw zel::CError("This output takes its bytes in order only.");
}

}  // namespace fleck::ops
