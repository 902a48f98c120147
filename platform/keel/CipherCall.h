#pragma once

#include <cstddef>
#include <cstdint>

#include "zel/TBuffer.h"

namespace keel::cipher_call {

// Argument checks that every cipher makes alike; throw zel::CInvalidArgError naming
// `source`. Nothing is allocated unless a check fails.
void checkArguments(const char* source, const unsigned char* data, std::size_t length, int outMode,
                    int options);

// True when `length` bytes at `data` share memory with out's storage, so that writing
// to out (or growing it) could change or free the input.
inline bool overlapsStorage(const zel::TBuffer<unsigned char>& out, const unsigned char* data,
                            std::size_t length) noexcept {
  if (length == 0 || out.getData() == nullptr) return false;
  const auto begin = reinterpret_cast<std::uintptr_t>(out.getData());
  const auto end = begin + out.getCapacity();
  const auto first = reinterpret_cast<std::uintptr_t>(data);
  return first < end && first + length > begin;
}

}  // namespace keel::cipher_call
