#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fleck::ops {

// Where an export writes the bytes of a disk, in order. One writer at a time.
class IImageSink {
 public:
  virtual ~IImageSink() = default;

  // Writes the next `count` bytes. Throws a zel error on failure.
  virtual void write(const unsigned char* data, std::size_t count) = 0;
  // Ends the output after the last write. Throws a zel error on failure.
  virtual void finish() = 0;
  // Bytes that were left as holes instead of written (sparse outputs).
  virtual std::int64_t getSkippedBytes() const { return 0; }
  // The output as people name it.
  virtual std::string describe() const = 0;
};

}  // namespace fleck::ops
