#pragma once

#include <atomic>
#include <cstddef>

#include "zel/IBase.h"

namespace zel {

// Reference-counted base of every zel and fleck class.
//
// Ownership. An object made with `new` is heap-owned: the count starts at 0, counted
// pointers (zel::P) add and drop references, and the last one to go destroys the
// object. Any other object (a local variable, a member, an element of a container, an
// exception object) is owned directly: its owner's scope ends its life, and counted
// references to it only keep count, they never delete it. A directly owned object may
// be handed to code that takes counted references (a disk on the stack given to a
// stream), provided every such reference is dropped before the owner destroys it; a
// destructor that still finds counted references aborts the process, because those
// references would dangle.
//
// How the two are told apart: CBase's class-specific operator new records the
// allocation on a small per-thread stack, and the CBase constructor that runs inside
// that allocation takes it as its own. This holds for every class whose CBase base
// is constructed before any CBase member of the same object (true of classes that
// derive from CBase first, as all of ours do).
class CBase : public virtual IBase {
 public:
  CBase() noexcept;
  // Copies start with no references of their own: the count belongs to an object,
  // not to its value.
  CBase(const CBase& other) noexcept;
  CBase& operator=(const CBase&) noexcept { return *this; }
  ~CBase() override;

  void addRef() const noexcept override;
  void release() const noexcept override;
  void checkCastAllowed(const std::type_info& target, bool isInstance) const override;

  // Number of counted references right now; for tests and diagnostics.
  long getRefCount() const noexcept { return refCount.load(std::memory_order_relaxed); }

  // True when this object was made with `new` and is destroyed by its last reference.
  bool isHeapAllocated() const noexcept { return heapAllocated; }

  static void* operator new(std::size_t size);
  static void operator delete(void* p) noexcept;
  static void operator delete(void* p, std::size_t size) noexcept;

 protected:
  // Called when the count drops to 0. Heap objects delete themselves; directly owned
  // objects do nothing. Pools override this to take the object back.
  virtual void onLastReference() const noexcept;

 private:
  void claimAllocation() noexcept;

  mutable std::atomic<long> refCount{0};
  mutable std::atomic<bool> destroying{false};
  bool heapAllocated = false;
};

}  // namespace zel
