#include "compress/CLZ4Compressor.h"

#include <lz4.h>
#include <lz4hc.h>

#include <climits>

#include "compress/CompressError.h"

namespace zel {

namespace {

int clampToInt(std::size_t length) noexcept {
  return length > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

std::size_t stateElements(bool highCompression) {
  const std::size_t bytes =
      static_cast<std::size_t>(highCompression ? LZ4_sizeofStateHC() : LZ4_sizeofState());
  return (bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
}

}  // namespace

CLZ4Compressor::CLZ4Compressor(bool highCompression)
    : highCompression(highCompression), state(stateElements(highCompression)) {}

CLZ4Compressor::~CLZ4Compressor() = default;

std::size_t CLZ4Compressor::getMaxCompressedLength(std::size_t sourceLength) const {
  if (sourceLength > static_cast<std::size_t>(LZ4_MAX_INPUT_SIZE)) {
    fail("getMaxCompressedLength", "source longer than one LZ4 block can hold", 0, false,
         sourceLength, 0);
  }
  return static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(sourceLength)));
}

std::size_t CLZ4Compressor::compress(const unsigned char* source, std::size_t sourceLength,
                                     unsigned char* target, std::size_t capacity) {
  if (sourceLength > static_cast<std::size_t>(LZ4_MAX_INPUT_SIZE)) {
    fail("compress", "source longer than one LZ4 block can hold", 0, false, sourceLength, capacity);
  }
  if (capacity == 0) {
    fail("compress", "output does not fit in capacity", 0, false, sourceLength, capacity);
  }
  const char* const src = reinterpret_cast<const char*>(source);
  char* const dst = reinterpret_cast<char*>(target);
  const int srcSize = static_cast<int>(sourceLength);
  const int dstCapacity = clampToInt(capacity);
  const int written =
      highCompression ? LZ4_compress_HC_extStateHC(state.data(), src, dst, srcSize, dstCapacity,
                                                   LZ4HC_CLEVEL_DEFAULT)
                      : LZ4_compress_fast_extState(state.data(), src, dst, srcSize, dstCapacity, 1);
  // The library reports only "0 = failed"; with a valid size that means no room.
  if (written <= 0) {
    fail("compress", "output does not fit in capacity", written, true, sourceLength, capacity);
  }
  return static_cast<std::size_t>(written);
}

std::size_t CLZ4Compressor::decompress(const unsigned char* source, std::size_t sourceLength,
                                       unsigned char* target, std::size_t capacity) {
  // No valid block is empty, and none we could have written exceeds INT_MAX bytes.
  if (sourceLength == 0 || sourceLength > static_cast<std::size_t>(INT_MAX)) {
    fail("decompress", "malformed input: impossible block length", 0, false, sourceLength,
         capacity);
  }
  // The library writes nothing when the capacity is 0, but wants a pointer.
  char noRoom = 0;
  char* const dst = target != nullptr ? reinterpret_cast<char*>(target) : &noRoom;
  const int written = LZ4_decompress_safe(reinterpret_cast<const char*>(source), dst,
                                          static_cast<int>(sourceLength),
                                          target != nullptr ? clampToInt(capacity) : 0);
  if (written < 0) {
    fail("decompress", "malformed input or output does not fit in capacity", written, true,
         sourceLength, capacity);
  }
  return static_cast<std::size_t>(written);
}

void CLZ4Compressor::fail(const char* operation, const String& problem, int lz4Code, bool hasCode,
                          std::size_t sourceLength, std::size_t capacity) const {
  throwCompressError(highCompression ? "lz4hc" : "lz4", "CLZ4Compressor", operation, problem,
                     hasCode ? std::optional<std::int64_t>(lz4Code) : std::nullopt, nullptr,
                     sourceLength, capacity);
}

}  // namespace zel
