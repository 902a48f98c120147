#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fleck::cli {

// Where import reads an image from, in order: a file, standard input, a generator.
// One reader at a time.
class IImageSource {
 public:
  virtual ~IImageSource() = default;

  // Bytes of the whole image, or -1 when not known before the end (a pipe).
  virtual std::int64_t getSize() const = 0;
  // Fills `out` with the next `count` bytes; fewer only at the end of the image (0
  // there). Throws CCliError when reading fails.
  virtual std::size_t read(unsigned char* out, std::size_t count) = 0;
  // The image as people name it ("standard input", a path).
  virtual std::string describe() const = 0;
};

}  // namespace fleck::cli
