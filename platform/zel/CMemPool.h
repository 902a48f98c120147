#pragma once

#include <cstddef>
#include <mutex>
#include <vector>

#include "zel/CBase.h"
#include "zel/P.h"
#include "zel/TBuffer.h"

namespace zel {

class CMemPool;

// A byte buffer lent by a CMemPool. When its last reference goes it returns to the
// pool (or is freed when the pool keeps enough idle buffers already). It comes out of
// the pool with a used length of 0 and a capacity of at least the pool's buffer size;
// its contents are whatever the previous borrower left.
class CMemPoolBuffer final : public TBuffer<unsigned char> {
 public:
  explicit CMemPoolBuffer(std::size_t capacity) : TBuffer<unsigned char>(capacity) {}
  // A copy would carry the lending pool along and, made on the stack, be taken into
  // the pool (and later deleted by it) when a counted reference to it was dropped.
  // Copy the contents into a TBuffer instead.
  CMemPoolBuffer(const CMemPoolBuffer&) = delete;
  CMemPoolBuffer& operator=(const CMemPoolBuffer&) = delete;

 protected:
  void onLastReference() const noexcept override;

 private:
  friend class CMemPool;
  // The pool that lent this buffer; null while the buffer idles in the pool. Touched
  // only by the thread that holds the buffer (or its last reference).
  mutable P<CMemPool> pool;
};

// Recycles equal-sized byte buffers, so that hot paths (fleck records, read-ahead
// payloads) do not allocate. checkOutItem may be called from any thread and never
// waits for a buffer: an empty pool makes a new one. Buffers may be returned on any
// thread. A lent buffer keeps its pool alive.
//
// maxIdle is how many returned buffers the pool keeps for reuse; further returns are
// freed. flags: FlagLazy (1) makes buffers on demand; without it the pool makes
// maxIdle buffers up front.
class CMemPool final : public CBase {
 public:
  enum Flags : int { FlagLazy = 1 };

  CMemPool(int maxIdle, std::size_t bufferSize, int flags);
  ~CMemPool() override;
  CMemPool(const CMemPool&) = delete;
  CMemPool& operator=(const CMemPool&) = delete;

  P<CMemPoolBuffer> checkOutItem();

  std::size_t getBufferSize() const noexcept { return bufferSize; }
  // Buffers idling in the pool right now; for tests and diagnostics.
  std::size_t getIdleCount() const;

 private:
  friend class CMemPoolBuffer;
  // Takes a buffer back; false when the pool is full and the buffer should be freed.
  bool takeBack(CMemPoolBuffer* buffer) noexcept;

  const std::size_t maxIdle;
  const std::size_t bufferSize;
  mutable std::mutex mutex;           // guards idle
  std::vector<CMemPoolBuffer*> idle;  // owned: buffers with no references
};

}  // namespace zel
