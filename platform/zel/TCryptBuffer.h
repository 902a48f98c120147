#pragma once

#include <cstddef>

#include "zel/TBuffer.h"

namespace zel {

// Overwrites `count` bytes at `p` so that the compiler cannot leave the write out.
void secureWipe(void* p, std::size_t count) noexcept;

// A buffer for secrets (cipher keys): bytes that leave use, by shrinking, by growing
// into new storage, or when the buffer ends, are wiped first.
template <class T>
class TCryptBuffer : public TBuffer<T> {
 public:
  TCryptBuffer() noexcept = default;
  TCryptBuffer(const T* source, std::size_t count) : TBuffer<T>(source, count) {}
  TCryptBuffer(const TCryptBuffer& other) : TBuffer<T>(other) {}
  TCryptBuffer(TCryptBuffer&& other) noexcept : TBuffer<T>(std::move(other)) {}
  TCryptBuffer& operator=(const TCryptBuffer& other) {
    TBuffer<T>::operator=(other);
    return *this;
  }
  TCryptBuffer& operator=(TCryptBuffer&& other) noexcept {
    TBuffer<T>::operator=(std::move(other));
    return *this;
  }
  ~TCryptBuffer() override { this->releaseStorage(); }

 protected:
  void discard(T* elements, std::size_t count) noexcept override {
    secureWipe(elements, count * sizeof(T));
  }
};

}  // namespace zel
