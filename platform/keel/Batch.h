#pragma once

#include <cstddef>

namespace keel {

// One buffer of a batch: `length` bytes at `data` (null only when length is 0).
struct BatchBuffer {
  const unsigned char* data = nullptr;
  std::size_t length = 0;
};

// True when the environment variable FLECK_KEEL_SCALAR is "1": the batch operations
// (CMD5Batch, CCipherBatch_AES256CBC) then use OpenSSL one buffer at a time instead of
// their vector and multi-buffer engines, to rule those out or to compare. Read once,
// on the first call.
bool isBatchScalarForced();

}  // namespace keel
