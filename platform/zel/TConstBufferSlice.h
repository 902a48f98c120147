#pragma once

#include <cstddef>

#include "zel/P.h"
#include "zel/TBuffer.h"

namespace zel {

// A range of a buffer that keeps the buffer alive: what a stream's writeKeepBuffer
// takes, so that the stream may hold on to the bytes instead of copying them.
template <class T>
class TConstBufferSlice {
 public:
  TConstBufferSlice() = default;
  explicit TConstBufferSlice(PC<TBuffer<T>> buffer)
      : TConstBufferSlice(buffer, 0, buffer != nullptr ? buffer->getUsed() : 0) {}
  TConstBufferSlice(PC<TBuffer<T>> buffer, std::size_t offset, std::size_t length)
      : buffer(std::move(buffer)), offset(offset), length(length) {
    const std::size_t available = this->buffer != nullptr ? this->buffer->getUsed() : 0;
    if (offset > available || length > available - offset) {
      throw CError("INTERNAL ERROR: TConstBufferSlice outside its buffer");
    }
  }

  const T* getData() const noexcept {
    return buffer != nullptr ? buffer->getData() + offset : nullptr;
  }
  std::size_t getLength() const noexcept { return length; }
  const PC<TBuffer<T>>& getBuffer() const noexcept { return buffer; }

 private:
  PC<TBuffer<T>> buffer;
  std::size_t offset = 0;
  std::size_t length = 0;
};

}  // namespace zel
