// Ownership rules of zel::CBase and zel::P: heap objects die with their last counted
// reference, directly owned objects never do, and the allocation tracking that tells
// the two apart survives nesting and constructors that throw.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <latch>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "zel/CBase.h"
#include "zel/CError.h"
#include "zel/P.h"
#include "zel/TRequireNewAlloc.h"

namespace {

using zel::CBase;
using zel::CError;
using zel::P;

// Counts its own destructions into a counter that outlives it.
class CTracked : public CBase {
 public:
  explicit CTracked(int* destroyed = nullptr, int value = 0) : destroyed(destroyed), value(value) {}
  CTracked(const CTracked& other) : CBase(other), destroyed(other.destroyed), value(other.value) {}
  CTracked& operator=(const CTracked&) = default;
  ~CTracked() override {
    if (destroyed != nullptr) ++*destroyed;
  }
  int getValue() const { return value; }

 private:
  int* destroyed;
  int value;
};

class IFirst : public virtual zel::IBase {
 public:
  virtual int first() const = 0;
};

class ISecond : public virtual zel::IBase {
 public:
  virtual int second() const = 0;
};

class IUnrelated : public virtual zel::IBase {};

class CBoth final : public CBase, public virtual IFirst, public virtual ISecond {
 public:
  int first() const override { return 1; }
  int second() const override { return 2; }
};

TEST(ObjectsTest, HeapObjectDiesWithItsLastReference) {
  int destroyed = 0;
  P<CTracked> made = zel::make<CTracked>(&destroyed, 7);
  EXPECT_TRUE(made->isHeapAllocated());
  P<CTracked> copy;
  copy = made;
  P<CBase> base = made;  // converting copy
  P<const CTracked> constant = made;
  EXPECT_EQ(made->getRefCount(), 4);
  P<CBase> stolen = std::move(made);  // converting move
  EXPECT_EQ(made.get(), nullptr);
  EXPECT_EQ(stolen->getRefCount(), 4);
  base.reset();
  stolen.reset();
  copy = nullptr;
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(constant->getValue(), 7);
  constant.reset();
  EXPECT_EQ(destroyed, 1);

  P<CTracked> p(new CTracked(&destroyed));
  CTracked* detached = p.detach();  // keeps the reference
  EXPECT_EQ(detached->getRefCount(), 1);
  detached->release();
  EXPECT_EQ(destroyed, 2);
}

// A node of a singly linked list: assigning a P from a member of the object it is
// about to release must take the new value before the old object goes.
class CNode final : public CBase {
 public:
  CNode(int* destroyed, P<CNode> next) : next(std::move(next)), destroyed(destroyed) {}
  ~CNode() override { ++*destroyed; }
  P<CNode> next;

 private:
  int* destroyed;
};

TEST(ObjectsTest, AssigningFromAMemberOfTheReleasedObjectIsSafe) {
  int destroyed = 0;
  P<CNode> list(
      new CNode(&destroyed, P<CNode>(new CNode(&destroyed, new CNode(&destroyed, nullptr)))));
  list = list->next;  // copy assignment; the old head held the only other reference
  EXPECT_EQ(destroyed, 1);
  ASSERT_NE(list.get(), nullptr);
  list = std::move(list->next);  // move assignment from inside the released object
  EXPECT_EQ(destroyed, 2);
  ASSERT_NE(list.get(), nullptr);
  EXPECT_EQ(list->next.get(), nullptr);
  list = list;  // self-assignment of the last reference
  EXPECT_EQ(destroyed, 2);
  list = list.get();
  EXPECT_EQ(destroyed, 2);
  list.reset();
  EXPECT_EQ(destroyed, 3);
}

class COwner final : public CBase {
 public:
  explicit COwner(int* destroyed) : member(destroyed, 3) {}
  CTracked member;
};

class CTrackedError : public CError {
 public:
  CTrackedError(int* destroyed) : CError("tracked"), destroyed(destroyed) {}
  CTrackedError(const CTrackedError& other) : CError(other), destroyed(other.destroyed) {}
  ~CTrackedError() override { ++*destroyed; }
  ZEL_ERROR_CLONE_OPERATIONS(CTrackedError)

 private:
  int* destroyed;
};

// Objects on the stack, inside other objects, in containers or thrown never die
// through P.
TEST(ObjectsTest, DirectObjectsAreNeverDeletedByP) {
  int destroyed = 0;
  {
    CTracked local(&destroyed, 5);
    EXPECT_FALSE(local.isHeapAllocated());
    {
      P<CTracked> p(&local);
      P<CTracked> q = p;
      EXPECT_EQ(local.getRefCount(), 2);
    }
    EXPECT_EQ(local.getRefCount(), 0);

    std::vector<CTracked> elements;
    elements.emplace_back(&destroyed, 1);
    std::optional<CTracked> optional;
    optional.emplace(&destroyed, 9);
    auto shared = std::make_shared<CTracked>(&destroyed, 10);
    for (CTracked* direct : {&elements[0], &*optional, shared.get()}) {
      EXPECT_FALSE(direct->isHeapAllocated());
      P<CTracked> p(direct);
    }
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 4);

  P<COwner> owner(new COwner(&destroyed));
  EXPECT_FALSE(owner->member.isHeapAllocated());
  { P<CTracked> p(&owner->member); }
  EXPECT_EQ(destroyed, 4);
  owner.reset();
  EXPECT_EQ(destroyed, 5);

  try {
    throw CTrackedError(&destroyed);
  } catch (CError& e) {
    EXPECT_FALSE(e.isHeapAllocated());
    { P<CError> p(&e); }
    // A clone is a heap object that lives on after the handler.
    P<CError> saved = e.clone();
    EXPECT_TRUE(saved->isHeapAllocated());
    saved.reset();
    EXPECT_EQ(destroyed, 6);
  }
  EXPECT_EQ(destroyed, 7);
}

TEST(ObjectsTest, CopiesStartWithoutReferencesAndTakeTheirOwnOwnership) {
  int destroyed = 0;
  P<CTracked> heap(new CTracked(&destroyed, 4));
  CTracked stackCopy(*heap);
  EXPECT_FALSE(stackCopy.isHeapAllocated());
  EXPECT_EQ(stackCopy.getRefCount(), 0);
  EXPECT_EQ(stackCopy.getValue(), 4);

  P<CTracked> heapCopy(new CTracked(stackCopy));
  EXPECT_TRUE(heapCopy->isHeapAllocated());
  EXPECT_EQ(heapCopy->getRefCount(), 1);

  // Assignment copies the value, never the count or the ownership.
  CTracked other(&destroyed, 8);
  { P<CTracked> hold(&other); }
  *heapCopy = other;
  EXPECT_TRUE(heapCopy->isHeapAllocated());
  EXPECT_EQ(heapCopy->getRefCount(), 1);
  heapCopy.reset();
  heap.reset();
  EXPECT_EQ(destroyed, 2);
}

// Every thread writes its own slot before it drops its reference; the destructor, on
// whichever thread drops the last one, must see every slot written.
class CShared final : public CBase {
 public:
  static constexpr int kThreads = 4;
  explicit CShared(std::atomic<int>* sum) : sum(sum) {}
  ~CShared() override {
    int total = 0;
    for (int v : slots)
      total += v;
    sum->store(total);
  }
  std::array<int, kThreads> slots{};

 private:
  std::atomic<int>* sum;
};

TEST(ObjectsTest, CountedReferencesFromSeveralThreads) {
  constexpr int kRounds = 20000;
  std::atomic<int> sum{-1};
  P<CShared> shared(new CShared(&sum));
  std::latch ready(CShared::kThreads + 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < CShared::kThreads; ++t) {
    threads.emplace_back([&ready, t, mine = shared] {
      ready.arrive_and_wait();
      for (int i = 0; i < kRounds; ++i) {
        P<CShared> a = mine;
        P<CShared> b(a.get());
        b = a;
      }
      mine->slots[static_cast<std::size_t>(t)] = t + 1;
      // `mine` goes with the lambda, on this thread, possibly as the last reference.
    });
  }
  shared.reset();
  ready.arrive_and_wait();
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(sum.load(), 1 + 2 + 3 + 4);
}

TEST(ObjectsTest, CastToViewsTheSameObject) {
  P<zel::IBase> base(new CBoth());
  P<ISecond> second = zel::castTo<ISecond>(zel::castTo<IFirst>(base));
  ASSERT_NE(second.get(), nullptr);
  EXPECT_EQ(second->second(), 2);
  EXPECT_EQ(dynamic_cast<CBase*>(second.get())->getRefCount(), 2);
  EXPECT_THROW(zel::castTo<IUnrelated>(base), CError);
  EXPECT_EQ(zel::castTo<IFirst>(P<zel::IBase>()).get(), nullptr);
}

// The destructor takes a temporary reference to its own object (as code called from a
// destructor may) and tries a cast, which must be refused while it is being destroyed.
class CSelfReferencing final : public CBase, public virtual IFirst {
 public:
  CSelfReferencing(int* destroyed, bool* castRefused)
      : destroyed(destroyed), castRefused(castRefused) {}
  ~CSelfReferencing() override {
    P<zel::IBase> self(static_cast<IFirst*>(this));
    try {
      (void)zel::castTo<IFirst>(self);
    } catch (const CError&) {
      *castRefused = true;
    }
    ++*destroyed;
  }
  int first() const override { return 0; }

 private:
  int* destroyed;
  bool* castRefused;
};

TEST(ObjectsTest, ReferenceTakenInTheDestructorDoesNotDeleteAgain) {
  int destroyed = 0;
  bool castRefused = false;
  P<CSelfReferencing> p(new CSelfReferencing(&destroyed, &castRefused));
  p.reset();
  EXPECT_EQ(destroyed, 1);
  EXPECT_TRUE(castRefused);
}

class CHeapOnly final : public zel::TRequireNewAlloc<CTracked> {
 public:
  CHeapOnly() = default;
  CHeapOnly(int* destroyed, int value) : TRequireNewAlloc(destroyed, value) {}
};

class CHoldsHeapOnly final : public CBase {
 public:
  CHeapOnly member;
};

TEST(ObjectsTest, RequireNewAllocRefusesEveryOtherPlace) {
  int destroyed = 0;
  EXPECT_THROW({ CHeapOnly onStack; }, CError);
  EXPECT_THROW({ CHeapOnly onStack(&destroyed, 1); }, CError);
  EXPECT_THROW(P<CHoldsHeapOnly>(new CHoldsHeapOnly()), CError);
  EXPECT_THROW({ std::optional<CHeapOnly> elsewhere(std::in_place); }, CError);

  P<CHeapOnly> heap(new CHeapOnly(&destroyed, 2));
  EXPECT_TRUE(heap->isHeapAllocated());
  P<CHeapOnly> made = zel::make<CHeapOnly>();
  EXPECT_TRUE(made->isHeapAllocated());

  // A copy is made another way, too.
  EXPECT_THROW({ CHeapOnly copy(*heap); }, CError);
  P<CHeapOnly> heapCopy(new CHeapOnly(*heap));
  EXPECT_EQ(heapCopy->getValue(), 2);
  // Two constructions that threw after CTracked was made, and the one on the heap.
  heap.reset();
  EXPECT_EQ(destroyed, 3);
}

class CInner final : public CBase {};

class COuter final : public CBase {
 public:
  explicit COuter(CBase* inner) : inner(inner) {}
  COuter(CBase* first, CBase* second) : inner(first), second(second) {}
  P<CBase> inner;
  P<CBase> second;
};

TEST(ObjectsTest, NestedAllocationsGetBothFlagsRight) {
  P<COuter> deep(new COuter(new COuter(new CInner()), new COuter(new CInner(), new CInner())));
  EXPECT_TRUE(deep->isHeapAllocated());
  auto* left = dynamic_cast<COuter*>(deep->inner.get());
  auto* right = dynamic_cast<COuter*>(deep->second.get());
  ASSERT_NE(left, nullptr);
  ASSERT_NE(right, nullptr);
  for (CBase* object : std::initializer_list<CBase*>{left, left->inner.get(), right,
                                                     right->inner.get(), right->second.get()})
    EXPECT_TRUE(object->isHeapAllocated());

  // A stack argument inside a heap allocation stays direct.
  CInner local;
  P<COuter> withLocal(new COuter(&local));
  EXPECT_TRUE(withLocal->isHeapAllocated());
  EXPECT_FALSE(local.isHeapAllocated());
  withLocal.reset();
  EXPECT_EQ(local.getRefCount(), 0);
}

// Places a CInner in raw memory of `size` bytes, allocated right after a failed
// construction freed a block of that size, and reports whether it thinks it is a heap
// object. An allocation left pending by the failure would claim it.
bool placedObjectClaimsHeap(std::size_t size) {
  void* raw = ::operator new(size);
  auto* placed = ::new (raw) CInner();
  const bool heap = placed->isHeapAllocated();
  placed->~CInner();
  ::operator delete(raw);
  return heap;
}

class CThrowsInBody final : public CBase {
 public:
  CThrowsInBody() { throw std::runtime_error("constructor failed"); }
  char padding[sizeof(CInner)]{};
};

struct ThrowingFirstBase {
  ThrowingFirstBase() { throw std::runtime_error("base failed"); }
};

// CBase is not the first base here, so the failure comes before CBase could claim the
// allocation.
class CThrowsBeforeCBase final : public ThrowingFirstBase, public CBase {};

CBase* failingArgument() {
  throw std::runtime_error("argument failed");
}

TEST(ObjectsTest, ConstructorThatThrowsLeavesNothingPending) {
  const auto expectNothingPending = [](std::size_t size) {
    EXPECT_FALSE(placedObjectClaimsHeap(size));
    CInner next;
    EXPECT_FALSE(next.isHeapAllocated());
  };
  EXPECT_THROW(P<CThrowsInBody>(new CThrowsInBody()), std::runtime_error);
  expectNothingPending(sizeof(CThrowsInBody));
  EXPECT_THROW(P<CThrowsBeforeCBase>(new CThrowsBeforeCBase()), std::runtime_error);
  expectNothingPending(sizeof(CThrowsBeforeCBase));

  // The outer allocation is made before its arguments are evaluated, so these fail
  // with the outer allocation (or two) pending.
  EXPECT_THROW(P<COuter>(new COuter(failingArgument())), std::runtime_error);
  expectNothingPending(sizeof(COuter));
  EXPECT_THROW(P<COuter>(new COuter(new COuter(failingArgument()))), std::runtime_error);
  expectNothingPending(sizeof(COuter));
  EXPECT_THROW(P<COuter>(new COuter(new CThrowsInBody())), std::runtime_error);
  expectNothingPending(sizeof(COuter));

  // And a heap object made afterwards is still recognised.
  P<COuter> after(new COuter(new CInner()));
  EXPECT_TRUE(after->isHeapAllocated());
  EXPECT_TRUE(after->inner->isHeapAllocated());
}

TEST(ObjectsDeathTest, DestroyingADirectObjectThatIsStillReferencedAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        CInner local;
        local.addRef();  // a counted reference that will dangle
      },
      "destroyed while 1 counted reference");
}

}  // namespace
