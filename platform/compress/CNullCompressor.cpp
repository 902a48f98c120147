#include "compress/CNullCompressor.h"

#include <cstring>

#include "compress/CompressError.h"

namespace zel {

CNullCompressor::CNullCompressor() = default;

std::size_t CNullCompressor::getMaxCompressedLength(std::size_t sourceLength) const {
  return sourceLength;
}

std::size_t CNullCompressor::compress(const unsigned char* source, std::size_t sourceLength,
                                      unsigned char* target, std::size_t capacity) {
  return copy("compress", source, sourceLength, target, capacity);
}

std::size_t CNullCompressor::decompress(const unsigned char* source, std::size_t sourceLength,
                                        unsigned char* target, std::size_t capacity) {
  return copy("decompress", source, sourceLength, target, capacity);
}

std::size_t CNullCompressor::copy(const char* operation, const unsigned char* source,
                                  std::size_t sourceLength, unsigned char* target,
                                  std::size_t capacity) const {
  if (sourceLength > capacity) {
    throwCompressError("null", "CNullCompressor", operation, "output does not fit in capacity",
                       std::nullopt, nullptr, sourceLength, capacity);
  }
  // memcpy with a null pointer is undefined even for 0 bytes, and empty buffers may
  // come with null pointers.
  if (sourceLength != 0) std::memcpy(target, source, sourceLength);
  return sourceLength;
}

}  // namespace zel
