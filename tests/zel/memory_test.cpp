// Buffers and their bounds, secrets wiped, the buffer pool, counted ownership, and the
// most-recently-used cache against a model.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <list>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "zel/CBase.h"
#include "zel/CError.h"
#include "zel/CMemPool.h"
#include "zel/P.h"
#include "zel/TBuffer.h"
#include "zel/TConstBufferSlice.h"
#include "zel/TCryptBuffer.h"
#include "zel/TMostRecentlyUsedCache.h"
#include "zel/TRequireNewAlloc.h"

namespace fleck::test {
namespace {

using zel::P;
using Bytes = zel::TBuffer<unsigned char>;

std::string text(const Bytes& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.getData()), buffer.getUsed());
}

const unsigned char* raw(const char* s) {
  return reinterpret_cast<const unsigned char*>(s);
}

TEST(BuffersTest, GrowthKeepsContentsAndBoundsAreChecked) {
  Bytes buffer(raw("hello"), 5);
  buffer.setUsed(8);  // grows to exactly what is asked
  EXPECT_EQ(buffer.getCapacity(), 8u);
  buffer.setUsed(2);
  EXPECT_EQ(text(buffer), "he");
  unsigned char* free = buffer.getFreePtr(8);
  EXPECT_GE(buffer.getCapacity(), 10u);
  EXPECT_EQ(free, buffer.getData() + 2);
  std::memcpy(free, "de", 2);
  buffer.addUsed(2);
  EXPECT_EQ(text(buffer), "hede");

  // addUsed past the capacity throws and changes nothing; up to it is fine.
  const std::size_t room = buffer.getCapacity() - buffer.getUsed();
  EXPECT_THROW(buffer.addUsed(room + 1), zel::CError);
  EXPECT_THROW(buffer.addUsed(static_cast<std::size_t>(-1)), zel::CError);
  EXPECT_EQ(buffer.getUsed(), 4u);
  buffer.addUsed(room);
  EXPECT_EQ(buffer.getUsed(), buffer.getCapacity());

  // The source of assign and append may lie in the buffer's own storage.
  buffer.assign(raw("abcdefgh"), 8);
  buffer.assign(buffer.getData() + 2, 4);
  EXPECT_EQ(text(buffer), "cdef");
  buffer = Bytes(raw("abcd"), 4);
  buffer.append(buffer.getData(), 4);  // must grow, freeing the source
  buffer.append(buffer.getData() + 1, 2);
  EXPECT_EQ(text(buffer), "abcdabcdbc");
}

// Records every range TCryptBuffer wipes, its contents before, and whether it was
// zero after.
struct Wiped {
  const unsigned char* where;
  std::string before;
  bool zero;
};

class CWatchedCryptBuffer final : public zel::TCryptBuffer<unsigned char> {
 public:
  CWatchedCryptBuffer(std::vector<Wiped>& log, const char* s)
      : TCryptBuffer(raw(s), std::strlen(s)), log(log) {}
  ~CWatchedCryptBuffer() override { releaseStorage(); }

 protected:
  void discard(unsigned char* elements, std::size_t count) noexcept override {
    Wiped w{elements, std::string(reinterpret_cast<const char*>(elements), count), false};
    TCryptBuffer::discard(elements, count);
    w.zero = std::all_of(elements, elements + count, [](unsigned char b) { return b == 0; });
    log.push_back(std::move(w));
  }

 private:
  std::vector<Wiped>& log;
};

TEST(BuffersTest, CryptBufferWipesWhatLeavesUse) {
  using Change = void (*)(CWatchedCryptBuffer&);
  const struct {
    const char* how;
    Change change;
    const char* wiped;  // null: the old storage, whole
  } cases[] = {
      {"setUsed shorter", [](CWatchedCryptBuffer& b) { b.setUsed(6); }, "-key"},
      {"assign shorter", [](CWatchedCryptBuffer& b) { b.assign(raw("ab"), 2); }, "cret-key"},
      {"clear", [](CWatchedCryptBuffer& b) { b.clear(); }, "secret-key"},
      {"setUsed longer", [](CWatchedCryptBuffer& b) { b.setUsed(b.getCapacity() + 1); }, nullptr},
      {"reserve", [](CWatchedCryptBuffer& b) { b.reserve(b.getCapacity() + 1); }, nullptr},
      {"getFreePtr", [](CWatchedCryptBuffer& b) { (void)b.getFreePtr(b.getCapacity() + 1); },
       nullptr},
      {"append itself", [](CWatchedCryptBuffer& b) { b.append(b.getData(), b.getUsed()); },
       nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    std::vector<Wiped> log;
    CWatchedCryptBuffer secret(log, "secret-key");
    const unsigned char* old = secret.getData();
    c.change(secret);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].zero);
    EXPECT_EQ(log[0].before, c.wiped != nullptr ? c.wiped : "secret-key");
    if (c.wiped == nullptr) {
      EXPECT_EQ(log[0].where, old);
      EXPECT_EQ(std::memcmp(secret.getData(), "secret-key", 10), 0) << "contents moved";
    }
  }
  // The whole storage goes at the end, spare room written but never used included.
  std::vector<Wiped> log;
  {
    CWatchedCryptBuffer secret(log, "0123456789");
    secret.setUsed(4);
    std::memcpy(secret.getFreePtr(2), "XY", 2);
    log.clear();
  }
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].before.substr(0, 6), "0123XY");
  EXPECT_EQ(log[0].before.size(), 10u);
  EXPECT_TRUE(log[0].zero);
}

TEST(BuffersTest, SliceStaysInsideItsBufferAndKeepsItAlive) {
  P<Bytes> buffer = zel::make<Bytes>(raw("0123456789"), 10);
  zel::TConstBufferSlice<unsigned char> part(buffer, 3, 4);
  buffer.reset();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(part.getData()), part.getLength()), "3456");
  const zel::PC<Bytes>& kept = part.getBuffer();
  using Slice = zel::TConstBufferSlice<unsigned char>;
  EXPECT_NO_THROW(Slice(kept, 10, 0));
  EXPECT_NO_THROW(Slice(kept, 0, 10));
  EXPECT_THROW(Slice(kept, 11, 0), zel::CError);
  EXPECT_THROW(Slice(kept, 5, 6), zel::CError);
  EXPECT_THROW(Slice(kept, 1, static_cast<std::size_t>(-1)), zel::CError);
  EXPECT_THROW(Slice(nullptr, 0, 1), zel::CError);
}

TEST(MemPoolTest, BuffersComeBackEmptyWithTheirLastReference) {
  P<zel::CMemPool> pool = zel::make<zel::CMemPool>(2, 16, zel::CMemPool::FlagLazy);
  P<zel::CMemPoolBuffer> buffer = pool->checkOutItem();
  zel::CMemPoolBuffer* identity = buffer.get();
  buffer->append(raw("0123456789012345678901234567890123456789"), 40);
  P<zel::CMemPoolBuffer> second = buffer;
  buffer.reset();
  EXPECT_EQ(pool->getIdleCount(), 0u);
  second.reset();
  EXPECT_EQ(pool->getIdleCount(), 1u);
  buffer = pool->checkOutItem();
  EXPECT_EQ(buffer.get(), identity);
  EXPECT_TRUE(buffer->isEmpty());
  // Lent buffers keep the pool alive; the last one takes it along.
  P<zel::CMemPoolBuffer> a = pool->checkOutItem();
  P<zel::CMemPoolBuffer> b = pool->checkOutItem();  // beyond what the pool holds
  pool.reset();
  b->append(raw("def"), 3);
  a.reset();
  buffer.reset();
  EXPECT_EQ(text(*b), "def");
}

TEST(MemPoolTest, ManyThreadsCheckOutAndReturn) {
  constexpr int kThreads = 4;
  P<zel::CMemPool> pool = zel::make<zel::CMemPool>(3, 64, zel::CMemPool::FlagLazy);
  std::latch ready(kThreads);
  std::atomic<int> corrupted{0};
  std::mutex parkMutex;  // a parked buffer goes back on whichever thread swaps it out
  P<zel::CMemPoolBuffer> parked;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.arrive_and_wait();
      for (int i = 0; i < 3000; ++i) {
        P<zel::CMemPoolBuffer> buffer = pool->checkOutItem();
        if (!buffer->isEmpty()) ++corrupted;
        const auto mark = static_cast<unsigned char>(t * 31 + i);
        std::memset(buffer->getFreePtr(64), mark, 64);
        buffer->addUsed(64);
        if (std::count(buffer->getData(), buffer->getData() + 64, mark) != 64) ++corrupted;
        if (i % 5 == 0) {
          std::lock_guard<std::mutex> lock(parkMutex);
          std::swap(parked, buffer);
        }
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  parked.reset();
  EXPECT_EQ(corrupted.load(), 0);
  EXPECT_LE(pool->getIdleCount(), 3u);
  EXPECT_EQ(pool->getRefCount(), 1);
}

class CTracked : public zel::CBase {
 public:
  explicit CTracked(int* destroyed = nullptr) : destroyed(destroyed) {}
  CTracked(const CTracked& other) : CBase(other), destroyed(other.destroyed) {}
  ~CTracked() override {
    if (destroyed != nullptr) ++*destroyed;
  }

 private:
  int* destroyed;
};

class CNode final : public zel::CBase {
 public:
  explicit CNode(P<CNode> next) : next(std::move(next)) {}
  P<CNode> next;
};

TEST(ObjectsTest, HeapObjectsDieWithTheirLastReferenceDirectOnesNever) {
  int destroyed = 0;
  P<CTracked> made = zel::make<CTracked>(&destroyed);
  EXPECT_TRUE(made->isHeapAllocated());
  P<zel::CBase> base = made;
  P<const CTracked> constant = made;
  P<zel::CBase> stolen = std::move(made);
  EXPECT_EQ(stolen->getRefCount(), 3);
  base.reset();
  stolen.reset();
  EXPECT_EQ(destroyed, 0);
  constant.reset();
  EXPECT_EQ(destroyed, 1);

  {
    CTracked local(&destroyed);
    EXPECT_FALSE(local.isHeapAllocated());
    { P<CTracked> p(&local); }
    std::vector<CTracked> elements(1, CTracked(&destroyed));  // the temporary goes: 2
    EXPECT_FALSE(elements[0].isHeapAllocated());
    { P<CTracked> p(&elements[0]); }
    EXPECT_EQ(destroyed, 2);
    P<CTracked> copy(new CTracked(local));  // a copy owns itself, with one reference
    EXPECT_TRUE(copy->isHeapAllocated());
    EXPECT_EQ(copy->getRefCount(), 1);
  }
  EXPECT_EQ(destroyed, 5);

  // Assigning from a member of the object about to be released.
  P<CNode> list(new CNode(P<CNode>(new CNode(new CNode(nullptr)))));
  list = list->next;
  list = std::move(list->next);
  list = list;
  ASSERT_NE(list.get(), nullptr);
  EXPECT_EQ(list->next.get(), nullptr);
}

TEST(ObjectsTest, CountedReferencesFromSeveralThreads) {
  std::atomic<int> destroyed{0};
  struct CCounted final : zel::CBase {
    explicit CCounted(std::atomic<int>* d) : d(d) {}
    ~CCounted() override { ++*d; }
    std::atomic<int>* d;
  };
  P<CCounted> shared(new CCounted(&destroyed));
  std::latch ready(5);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&ready, mine = shared] {
      ready.arrive_and_wait();
      for (int i = 0; i < 20000; ++i) {
        P<CCounted> a = mine;
        P<CCounted> b(a.get());
        b = a;
      }
    });
  }
  shared.reset();
  ready.arrive_and_wait();
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(destroyed.load(), 1);
}

class IFirst : public virtual zel::IBase {};
class IUnrelated : public virtual zel::IBase {};
class CFirst final : public zel::CBase, public virtual IFirst {};
class CHeapOnly final : public zel::TRequireNewAlloc<CTracked> {};
class CThrows final : public zel::CBase {
 public:
  CThrows() { throw std::runtime_error("constructor failed"); }
};

TEST(ObjectsTest, CastsHeapOnlyObjectsAndFailedConstructions) {
  P<zel::IBase> base(new CFirst());
  EXPECT_NE(zel::castTo<IFirst>(base).get(), nullptr);
  EXPECT_THROW(zel::castTo<IUnrelated>(base), zel::CError);
  EXPECT_EQ(zel::castTo<IFirst>(P<zel::IBase>()).get(), nullptr);

  EXPECT_THROW({ CHeapOnly onStack; }, zel::CError);
  EXPECT_TRUE(zel::make<CHeapOnly>()->isHeapAllocated());

  // A constructor that throws leaves no allocation pending for the next object.
  EXPECT_THROW(P<CThrows>(new CThrows()), std::runtime_error);
  CFirst next;
  EXPECT_FALSE(next.isHeapAllocated());
}

TEST(ObjectsDeathTest, DestroyingADirectObjectThatIsStillReferencedAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        CFirst local;
        local.addRef();
      },
      "destroyed while 1 counted reference");
}

// Random operations on the cache and on a list model of it: the same keys in the same
// order, the same values, the same evictions.
TEST(MostRecentlyUsedCacheTest, BehavesLikeAListModel) {
  const char* env = std::getenv("FLECK_TEST_SEED");
  const std::uint64_t seed = env != nullptr ? std::strtoull(env, nullptr, 0) : 20261206;
  SCOPED_TRACE("seed " + std::to_string(seed) + " (FLECK_TEST_SEED)");
  std::mt19937_64 random(seed);
  for (int capacity : {0, 1, 3, 8}) {
    for (bool autoTrim : {true, false}) {
      zel::TMostRecentlyUsedCache<int, int> cache(capacity, autoTrim);
      zel::TMostRecentlyUsedCache<int, int>::EvictionList evicted;
      cache.setEvictionList(&evicted);
      std::list<std::pair<int, int>> model;  // most recent first
      std::vector<std::pair<int, int>> modelEvicted;
      const auto find = [&](int key) {
        return std::find_if(model.begin(), model.end(), [key](auto& e) { return e.first == key; });
      };
      const auto trim = [&] {
        while (model.size() > static_cast<std::size_t>(capacity)) {
          modelEvicted.push_back(model.back());
          model.pop_back();
        }
      };
      for (int step = 0; step < 2000; ++step) {
        const int key = static_cast<int>(random() % 12);
        const auto it = find(key);
        const bool present = it != model.end();
        switch (random() % 6) {
          case 0:
          case 1: {
            const int value = step;
            cache.insert(key, value);
            if (present) model.erase(it);
            model.emplace_front(key, value);
            if (autoTrim && !present) trim();  // a replacement evicts nothing
            break;
          }
          case 2: {
            const int* found = cache.lookup(key);
            ASSERT_EQ(found != nullptr, present) << "step " << step;
            if (found != nullptr) {
              ASSERT_EQ(*found, it->second);
              model.splice(model.begin(), model, it);
            }
            break;
          }
          case 3:
            ASSERT_EQ(cache.contains(key), present);  // no refresh
            break;
          case 4:
            ASSERT_EQ(cache.remove(key), present);  // not an eviction
            if (present) model.erase(it);
            break;
          default:
            cache.trim();
            trim();
        }
        std::vector<int> keys;
        for (const auto& e : model)
          keys.push_back(e.first);
        ASSERT_EQ(cache.getKeysMostRecentFirst(), keys) << "step " << step;
        ASSERT_EQ(std::vector<std::pair<int, int>>(evicted.begin(), evicted.end()), modelEvicted);
      }
      const auto even = [](int key) { return key % 2 == 0; };
      EXPECT_EQ(cache.removeIf([&](int key, int) { return even(key); }),
                static_cast<std::size_t>(std::count_if(model.begin(), model.end(),
                                                       [&](auto& e) { return even(e.first); })));
    }
  }
}

}  // namespace
}  // namespace fleck::test
