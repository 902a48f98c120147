#pragma once

#include <cstddef>

#include "compress/ISimpleCompressor.h"
#include "zel/CBase.h"

namespace zel {

// The identity "compressor": both directions copy the bytes as they are. Used where a
// store is configured without compression, so that callers need no special case.
// Stateless, but like every compressor meant for one user at a time.
class CNullCompressor final : public CBase, public virtual ISimpleCompressor {
 public:
  CNullCompressor();
  CNullCompressor(const CNullCompressor&) = delete;
  CNullCompressor& operator=(const CNullCompressor&) = delete;

  // sourceLength itself: the output is the input.
  std::size_t getMaxCompressedLength(std::size_t sourceLength) const override;
  // Copies; throws zel::CError when sourceLength > capacity (nothing is written then).
  std::size_t compress(const unsigned char* source, std::size_t sourceLength, unsigned char* target,
                       std::size_t capacity) override;
  // Copies; throws zel::CError when sourceLength > capacity (nothing is written then).
  std::size_t decompress(const unsigned char* source, std::size_t sourceLength,
                         unsigned char* target, std::size_t capacity) override;

 private:
  std::size_t copy(const char* operation, const unsigned char* source, std::size_t sourceLength,
                   unsigned char* target, std::size_t capacity) const;
};

}  // namespace zel
