#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fleck::ops {

// Where import reads an image from: a file, standard input, a generator. read() takes
// the bytes in order and serves one caller at a time; a source that can also read at
// any position (a regular file, a device) does so from any number of threads at once.
class IImageSource {
 public:
  virtual ~IImageSource() = default;

  // Bytes of the whole image, or -1 when not known before the end (a pipe).
  virtual std::int64_t getSize() const = 0;
  // Fills `out` with the next `count` bytes; fewer only at the end of the image (0
  // there). Throws a zel error when reading fails.
  virtual std::size_t read(unsigned char* out, std::size_t count) = 0;
  // True when readAt works.
  virtual bool canReadAt() const { return false; }
  // Fills `out` with `count` bytes from `offset` on, fewer only at the end. Thread-safe;
  // independent of read(). Throws a zel error when reading fails.
  virtual std::size_t readAt(unsigned char* /*out*/, std::size_t /*count*/,
                             std::int64_t /*offset*/) {
    return 0;
  }
  // The image as people name it ("on standard input", a path).
  virtual std::string describe() const = 0;
};

}  // namespace fleck::ops
