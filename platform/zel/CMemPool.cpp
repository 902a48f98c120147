#include "zel/CMemPool.h"

namespace zel {

void CMemPoolBuffer::onLastReference() const noexcept {
  // Take the pool out first: once the buffer is back in the idle list another thread
  // may lend it at once, so nothing of it may be touched afterwards. The local
  // reference may be the pool's last; the pool then frees its idle buffers, this one
  // included, when `owner` goes out of scope below.
  P<CMemPool> owner = std::move(pool);
  auto* self = const_cast<CMemPoolBuffer*>(this);
  if (owner != nullptr && owner->takeBack(self)) return;
  TBuffer<unsigned char>::onLastReference();
}

CMemPool::CMemPool(int maxIdle, std::size_t bufferSize, int flags)
    : maxIdle(maxIdle > 0 ? static_cast<std::size_t>(maxIdle) : 0), bufferSize(bufferSize) {
  idle.reserve(this->maxIdle);
  if ((flags & FlagLazy) == 0) {
    try {
      for (std::size_t i = 0; i < this->maxIdle; ++i) {
        idle.push_back(new CMemPoolBuffer(bufferSize));
      }
    } catch (...) {
      // The destructor does not run for a constructor that throws.
      for (CMemPoolBuffer* buffer : idle)
        delete buffer;
      throw;
    }
  }
}

CMemPool::~CMemPool() {
  for (CMemPoolBuffer* buffer : idle)
    delete buffer;
}

P<CMemPoolBuffer> CMemPool::checkOutItem() {
  CMemPoolBuffer* buffer = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!idle.empty()) {
      buffer = idle.back();
      idle.pop_back();
    }
  }
  if (buffer == nullptr) buffer = new CMemPoolBuffer(bufferSize);
  buffer->setUsed(0);
  buffer->pool = this;
  return P<CMemPoolBuffer>(buffer);
}

std::size_t CMemPool::getIdleCount() const {
  std::lock_guard<std::mutex> lock(mutex);
  return idle.size();
}

bool CMemPool::takeBack(CMemPoolBuffer* buffer) noexcept {
  std::lock_guard<std::mutex> lock(mutex);
  if (idle.size() >= maxIdle) return false;
  idle.push_back(buffer);  // capacity reserved up front: push_back cannot throw here
  return true;
}

}  // namespace zel
