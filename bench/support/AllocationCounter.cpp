#include "support/AllocationCounter.h"

#include <malloc.h>
#include <openssl/crypto.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace fleck::bench {

namespace {

// Trivially constructed thread-locals: safe to touch from operator new at any time,
// also while a thread starts or ends.
thread_local std::uint64_t cxxCount = 0;
thread_local std::uint64_t opensslCount = 0;

std::atomic<std::int64_t> liveBytes{0};
std::atomic<std::int64_t> peakBytes{0};
std::atomic<bool> countingOpenSSL{false};

void noteAllocated(void* p) noexcept {
  const auto size = static_cast<std::int64_t>(malloc_usable_size(p));
  const std::int64_t now = liveBytes.fetch_add(size, std::memory_order_relaxed) + size;
  std::int64_t peak = peakBytes.load(std::memory_order_relaxed);
  while (now > peak && !peakBytes.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
}

void noteFreed(void* p) noexcept {
  if (p != nullptr) {
    liveBytes.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)),
                        std::memory_order_relaxed);
  }
}

// malloc or posix_memalign; null when memory runs out.
void* allocate(std::size_t size, std::size_t alignment) noexcept {
  if (size == 0) size = 1;
  void* p = nullptr;
  if (alignment <= alignof(std::max_align_t)) {
    p = std::malloc(size);
  } else if (posix_memalign(&p, alignment, size) != 0) {
    p = nullptr;
  }
  if (p != nullptr) {
    ++cxxCount;
    noteAllocated(p);
  }
  return p;
}

// The throwing forms: ask the new-handler until memory comes or there is none.
void* allocateOrThrow(std::size_t size, std::size_t alignment) {
  for (;;) {
    if (void* p = allocate(size, alignment)) return p;
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

void release(void* p) noexcept {
  noteFreed(p);
  std::free(p);
}

void* opensslMalloc(std::size_t size, const char* /*file*/, int /*line*/) {
  void* p = std::malloc(size);
  if (p != nullptr) {
    ++opensslCount;
    noteAllocated(p);
  }
  return p;
}

void* opensslRealloc(void* old, std::size_t size, const char* /*file*/, int /*line*/) {
  const auto oldSize =
      old != nullptr ? static_cast<std::int64_t>(malloc_usable_size(old)) : std::int64_t{0};
  void* p = std::realloc(old, size);
  if (p != nullptr) {
    ++opensslCount;
    liveBytes.fetch_sub(oldSize, std::memory_order_relaxed);
    noteAllocated(p);
  }
  return p;
}

void opensslFree(void* p, const char* /*file*/, int /*line*/) {
  release(p);
}

// OpenSSL takes allocation functions only before its first allocation, so they are
// installed before any other static constructor of the binary can reach it.
struct OpenSSLHookInstaller {
  OpenSSLHookInstaller() noexcept {
    countingOpenSSL.store(CRYPTO_set_mem_functions(opensslMalloc, opensslRealloc, opensslFree) ==
                          1);
  }
};

__attribute__((init_priority(101))) OpenSSLHookInstaller installer;

}  // namespace

AllocationCounts threadAllocationCounts() noexcept {
  return AllocationCounts{cxxCount, opensslCount};
}

bool isCountingOpenSSL() noexcept {
  return countingOpenSSL.load();
}

std::int64_t liveHeapBytes() noexcept {
  return liveBytes.load(std::memory_order_relaxed);
}

std::int64_t peakHeapBytes() noexcept {
  return peakBytes.load(std::memory_order_relaxed);
}

void resetPeakHeapBytes() noexcept {
  peakBytes.store(liveBytes.load(std::memory_order_relaxed), std::memory_order_relaxed);
}

}  // namespace fleck::bench

// The binary's global allocation functions. Everything C++ in the process allocates
// through these, the library's code included.

void* operator new(std::size_t size) {
  return fleck::bench::allocateOrThrow(size, 0);
}
void* operator new[](std::size_t size) {
  return fleck::bench::allocateOrThrow(size, 0);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return fleck::bench::allocate(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return fleck::bench::allocate(size, 0);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return fleck::bench::allocateOrThrow(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return fleck::bench::allocateOrThrow(size, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return fleck::bench::allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return fleck::bench::allocate(size, static_cast<std::size_t>(alignment));
}

void operator delete(void* p) noexcept {
  fleck::bench::release(p);
}
void operator delete[](void* p) noexcept {
  fleck::bench::release(p);
}
void operator delete(void* p, std::size_t) noexcept {
  fleck::bench::release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  fleck::bench::release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  fleck::bench::release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  fleck::bench::release(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  fleck::bench::release(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  fleck::bench::release(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  fleck::bench::release(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  fleck::bench::release(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  fleck::bench::release(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  fleck::bench::release(p);
}
