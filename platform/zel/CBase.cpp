#include "zel/CBase.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "zel/CError.h"

namespace zel {

namespace {

// Allocations made by CBase::operator new whose object has not been constructed yet.
// A stack, because the arguments of a new-expression may themselves allocate objects
// after the outer allocation and before the outer constructor runs.
struct PendingAllocations {
  static constexpr int kCapacity = 32;
  const char* begin[kCapacity];
  std::size_t size[kCapacity];
  int count = 0;

  void push(const void* p, std::size_t n) noexcept {
    if (count == kCapacity) {
      // Deeper nesting than any real constructor chain; forget the oldest entry, whose
      // object is then treated as directly owned (it leaks instead of crashing).
      for (int i = 1; i < kCapacity; ++i) {
        begin[i - 1] = begin[i];
        size[i - 1] = size[i];
      }
      --count;
    }
    begin[count] = static_cast<const char*>(p);
    size[count] = n;
    ++count;
  }

  void remove(const void* p) noexcept {
    for (int i = count - 1; i >= 0; --i) {
      if (begin[i] == p) {
        for (int j = i + 1; j < count; ++j) {
          begin[j - 1] = begin[j];
          size[j - 1] = size[j];
        }
        --count;
        return;
      }
    }
  }
};

thread_local PendingAllocations pending;

}  // namespace

CBase::CBase() noexcept {
  claimAllocation();
}

CBase::CBase(const CBase&) noexcept : IBase() {
  claimAllocation();
}

void CBase::claimAllocation() noexcept {
  if (pending.count == 0) return;
  const int top = pending.count - 1;
  const char* self = reinterpret_cast<const char*>(this);
  if (self >= pending.begin[top] && self < pending.begin[top] + pending.size[top]) {
    heapAllocated = true;
    pending.count = top;
  }
}

CBase::~CBase() {
  const long refs = refCount.load(std::memory_order_acquire);
  if (refs != 0) {
    // Counted references outlive the object: they would dangle. Nothing sensible can
    // go on, and a destructor must not throw.
    std::fprintf(stderr, "zel::CBase: object %p destroyed while %ld counted reference(s) remain\n",
                 static_cast<const void*>(this), refs);
    std::abort();
  }
}

void CBase::addRef() const noexcept {
  refCount.fetch_add(1, std::memory_order_relaxed);
}

void CBase::release() const noexcept {
  // acq_rel: the thread that drops the last reference must see every write made by
  // the threads that dropped theirs before it.
  if (refCount.fetch_sub(1, std::memory_order_acq_rel) == 1) onLastReference();
}

void CBase::onLastReference() const noexcept {
  // A destructor may take and drop a temporary reference to its own object; that
  // second drop to 0 must not delete again.
  if (heapAllocated && !destroying.exchange(true, std::memory_order_relaxed)) delete this;
}

void CBase::checkCastAllowed(const std::type_info& target, bool isInstance) const {
  if (destroying.load(std::memory_order_relaxed)) {
    throw CError(String("INTERNAL ERROR: cast of an object that is being destroyed to ") +
                 String(target.name()));
  }
  if (!isInstance) {
    throw CError(String("Object of type ") + String(typeid(*this).name()) +
                 String(" cannot be used as ") + String(target.name()));
  }
}

void* CBase::operator new(std::size_t size) {
  void* p = ::operator new(size);
  pending.push(p, size);
  return p;
}

void CBase::operator delete(void* p) noexcept {
  // A constructor that threw leaves its allocation pending; forget it.
  pending.remove(p);
  ::operator delete(p);
}

void CBase::operator delete(void* p, std::size_t size) noexcept {
  pending.remove(p);
  ::operator delete(p, size);
}

}  // namespace zel
