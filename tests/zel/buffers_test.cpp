// TBuffer, TCryptBuffer, TConstBufferSlice and CMemPool.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <latch>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "zel/CError.h"
#include "zel/CMemPool.h"
#include "zel/P.h"
#include "zel/TBuffer.h"
#include "zel/TConstBufferSlice.h"
#include "zel/TCryptBuffer.h"

namespace {

using zel::P;
using Bytes = zel::TBuffer<unsigned char>;

std::string text(const Bytes& buffer) {
  return std::string(reinterpret_cast<const char*>(buffer.getData()), buffer.getUsed());
}

Bytes bytes(const std::string& s) {
  return Bytes(reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

const unsigned char* raw(const char* s) {
  return reinterpret_cast<const unsigned char*>(s);
}

TEST(BuffersTest, GrowthKeepsContentsAndShrinkingKeepsStorage) {
  Bytes buffer = bytes("hello");
  buffer.setUsed(8);  // setUsed grows to exactly what is asked
  EXPECT_EQ(buffer.getCapacity(), 8u);
  EXPECT_EQ(std::memcmp(buffer.getData(), "hello", 5), 0);
  buffer.setUsed(2);
  EXPECT_EQ(text(buffer), "he");
  EXPECT_EQ(buffer.getCapacity(), 8u);

  unsigned char* free = buffer.getFreePtr(8);  // getFreePtr at least doubles
  EXPECT_GE(buffer.getCapacity(), 16u);
  EXPECT_EQ(free, buffer.getData() + 2);
  std::memcpy(free, "de", 2);
  buffer.addUsed(2);
  EXPECT_EQ(text(buffer), "hede");
  buffer.clear();
  EXPECT_TRUE(buffer.isEmpty());
  EXPECT_GE(buffer.getCapacity(), 16u);
}

TEST(BuffersTest, AddUsedPastTheCapacityThrowsAndChangesNothing) {
  Bytes buffer(4);
  buffer.addUsed(3);
  EXPECT_THROW(buffer.addUsed(2), zel::CError);
  EXPECT_EQ(buffer.getUsed(), 3u);
  EXPECT_THROW(buffer.addUsed(static_cast<std::size_t>(-1)), zel::CError);
  EXPECT_EQ(buffer.getUsed(), 3u);
  buffer.addUsed(1);
  EXPECT_EQ(buffer.getUsed(), 4u);
}

// The source of assign and append may lie in the buffer's own storage, which growth
// frees.
TEST(BuffersTest, AssignAndAppendFromInsideTheSameBuffer) {
  Bytes buffer = bytes("abcdefgh");
  buffer.assign(buffer.getData() + 2, 4);  // overlapping, moving down
  EXPECT_EQ(text(buffer), "cdef");
  buffer.assign(buffer);
  EXPECT_EQ(text(buffer), "cdef");

  buffer = bytes("abcd");
  ASSERT_EQ(buffer.getCapacity(), buffer.getUsed());
  buffer.append(buffer.getData(), 4);  // must grow
  EXPECT_EQ(text(buffer), "abcdabcd");
  buffer.append(buffer.getData() + 1, 2);  // room left after doubling
  EXPECT_EQ(text(buffer), "abcdabcdbc");

  Bytes moved(std::move(buffer));
  EXPECT_EQ(text(moved), "abcdabcdbc");
  EXPECT_EQ(buffer.getData(), nullptr);
  Bytes& alias = moved;
  moved = std::move(alias);
  EXPECT_EQ(text(moved), "abcdabcdbc");
}

// Watches what TCryptBuffer wipes: every range handed to discard, with its contents
// before the wipe and whether it was all zero after it. The records go to a list
// outside the buffer, so that they outlive it.
struct Discarded {
  const unsigned char* where;
  std::string before;
  bool wiped;
};

class CWatchedCryptBuffer final : public zel::TCryptBuffer<unsigned char> {
 public:
  CWatchedCryptBuffer(std::vector<Discarded>& log, const std::string& s)
      : TCryptBuffer(reinterpret_cast<const unsigned char*>(s.data()), s.size()), log(log) {}
  // Frees the storage here, while the watching discard is still this object's.
  ~CWatchedCryptBuffer() override { releaseStorage(); }

 protected:
  void discard(unsigned char* elements, std::size_t count) noexcept override {
    Discarded d{elements, std::string(reinterpret_cast<const char*>(elements), count), false};
    TCryptBuffer::discard(elements, count);
    d.wiped = std::all_of(elements, elements + count, [](unsigned char b) { return b == 0; });
    log.push_back(std::move(d));
  }

 private:
  std::vector<Discarded>& log;
};

TEST(BuffersTest, CryptBufferWipesWhatLeavesUseOnShrinking) {
  std::vector<Discarded> log;
  CWatchedCryptBuffer secret(log, "secret-key");
  secret.setUsed(6);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].before, "-key");
  EXPECT_EQ(log[0].where, secret.getData() + 6);
  EXPECT_TRUE(log[0].wiped);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(secret.getData()), 6), "secret");

  secret.assign(raw("ab"), 2);  // a shorter assignment wipes the rest
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[1].before, "cret");
  EXPECT_TRUE(log[1].wiped);

  secret.clear();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[2].before, "ab");
  EXPECT_TRUE(log[2].wiped);
}

// Every growth path moves the contents to new storage; the old storage must be wiped,
// whole, before it is freed.
TEST(BuffersTest, CryptBufferWipesTheOldStorageOnGrowth) {
  struct Grow {
    const char* how;
    void (*grow)(CWatchedCryptBuffer&);
  };
  const Grow ways[] = {
      {"setUsed", [](CWatchedCryptBuffer& b) { b.setUsed(b.getCapacity() + 1); }},
      {"reserve", [](CWatchedCryptBuffer& b) { b.reserve(b.getCapacity() + 1); }},
      {"getFreePtr", [](CWatchedCryptBuffer& b) { (void)b.getFreePtr(b.getCapacity() + 1); }},
      {"append", [](CWatchedCryptBuffer& b) { b.append(raw("0123456789abcdef"), 16); }},
      {"append from itself", [](CWatchedCryptBuffer& b) { b.append(b.getData(), b.getUsed()); }},
      {"assign", [](CWatchedCryptBuffer& b) { b.assign(raw("0123456789abcdef"), 16); }},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(way.how);
    std::vector<Discarded> log;
    CWatchedCryptBuffer secret(log, "password");
    const unsigned char* old = secret.getData();
    way.grow(secret);
    ASSERT_NE(secret.getData(), old);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].where, old);
    EXPECT_EQ(log[0].before, "password");
    EXPECT_TRUE(log[0].wiped);
    if (std::string(way.how) != "assign") {
      EXPECT_EQ(std::memcmp(secret.getData(), "password", 8), 0);
    }
  }
}

TEST(BuffersTest, CryptBufferWipesItsWholeStorageBeforeRelease) {
  std::vector<Discarded> log;
  {
    CWatchedCryptBuffer secret(log, "0123456789");
    secret.setUsed(4);  // wipes 6 bytes
    // Bytes written into the spare room but never taken into use are secret too.
    std::memcpy(secret.getFreePtr(2), "XY", 2);
    log.clear();
  }
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].before.size(), 10u);  // the whole capacity
  EXPECT_EQ(log[0].before.substr(0, 6), "0123XY");
  EXPECT_TRUE(log[0].wiped);
}

TEST(BuffersTest, SliceStaysInsideItsBufferAndKeepsItAlive) {
  P<Bytes> buffer = zel::make<Bytes>(raw("0123456789"), 10);
  zel::TConstBufferSlice<unsigned char> whole{zel::PC<Bytes>(buffer)};
  EXPECT_EQ(whole.getLength(), 10u);
  EXPECT_EQ(whole.getData(), buffer->getData());

  zel::TConstBufferSlice<unsigned char> part(buffer, 3, 4);
  buffer.reset();  // the slices keep the buffer
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(part.getData()), part.getLength()), "3456");
  EXPECT_EQ(part.getBuffer()->getRefCount(), 2);

  const zel::PC<Bytes>& kept = part.getBuffer();
  EXPECT_NO_THROW((zel::TConstBufferSlice<unsigned char>(kept, 10, 0)));
  EXPECT_NO_THROW((zel::TConstBufferSlice<unsigned char>(kept, 0, 10)));
  EXPECT_THROW((zel::TConstBufferSlice<unsigned char>(kept, 11, 0)), zel::CError);
  EXPECT_THROW((zel::TConstBufferSlice<unsigned char>(kept, 5, 6)), zel::CError);
  EXPECT_THROW((zel::TConstBufferSlice<unsigned char>(kept, 1, static_cast<std::size_t>(-1))),
               zel::CError);

  zel::TConstBufferSlice<unsigned char> none;
  EXPECT_EQ(none.getData(), nullptr);
  EXPECT_EQ(none.getLength(), 0u);
  EXPECT_THROW((zel::TConstBufferSlice<unsigned char>(nullptr, 0, 1)), zel::CError);
}

TEST(MemPoolTest, EmptyPoolLendsNewBuffersAndKeepsAtMostMaxIdle) {
  P<zel::CMemPool> eager = zel::make<zel::CMemPool>(3, 32, 0);
  EXPECT_EQ(eager->getIdleCount(), 3u);
  std::vector<P<zel::CMemPoolBuffer>> lent;
  for (int i = 0; i < 10; ++i)
    lent.push_back(eager->checkOutItem());
  std::set<zel::CMemPoolBuffer*> distinct;
  for (auto& b : lent) {
    distinct.insert(b.get());
    EXPECT_TRUE(b->isEmpty());
    EXPECT_GE(b->getCapacity(), 32u);
  }
  EXPECT_EQ(distinct.size(), 10u);
  EXPECT_EQ(eager->getIdleCount(), 0u);
  lent.clear();
  EXPECT_EQ(eager->getIdleCount(), 3u);

  // A pool that keeps nothing still lends.
  P<zel::CMemPool> none = zel::make<zel::CMemPool>(0, 32, zel::CMemPool::FlagLazy);
  EXPECT_EQ(none->getIdleCount(), 0u);
  P<zel::CMemPoolBuffer> b = none->checkOutItem();
  b.reset();
  EXPECT_EQ(none->getIdleCount(), 0u);
}

// A copy of a lent buffer would carry the pool along: one made on the stack would be
// taken into the pool when a counted reference to it went, and deleted by it later.
static_assert(!std::is_copy_constructible_v<zel::CMemPoolBuffer>);
static_assert(!std::is_copy_assignable_v<zel::CMemPoolBuffer>);

TEST(MemPoolTest, BufferReturnsWithItsLastReferenceAndComesBackEmpty) {
  P<zel::CMemPool> pool = zel::make<zel::CMemPool>(2, 16, zel::CMemPool::FlagLazy);
  P<zel::CMemPoolBuffer> buffer = pool->checkOutItem();
  zel::CMemPoolBuffer* identity = buffer.get();
  buffer->append(raw("0123456789012345678901234567890123456789"), 40);  // grows past the size
  P<zel::CMemPoolBuffer> second = buffer;
  buffer.reset();
  EXPECT_EQ(pool->getIdleCount(), 0u);
  second.reset();
  EXPECT_EQ(pool->getIdleCount(), 1u);

  P<zel::CMemPoolBuffer> again = pool->checkOutItem();
  EXPECT_EQ(again.get(), identity);
  EXPECT_TRUE(again->isEmpty());
  EXPECT_GE(again->getCapacity(), 40u);
}

TEST(MemPoolTest, LentBuffersKeepThePoolAlive) {
  P<zel::CMemPool> pool = zel::make<zel::CMemPool>(2, 16, 0);
  P<zel::CMemPoolBuffer> a = pool->checkOutItem();
  P<zel::CMemPoolBuffer> b = pool->checkOutItem();
  P<zel::CMemPoolBuffer> c = pool->checkOutItem();  // made new: the pool held only 2
  EXPECT_EQ(pool->getRefCount(), 4);
  pool.reset();
  // The pool is alive only through its buffers now; they still work and go back to it,
  // and the last one takes the pool (and every idle buffer) with it. Leaks and
  // use-after-free show under the address sanitizer.
  a->append(raw("abc"), 3);
  a.reset();
  b->append(raw("def"), 3);
  c.reset();
  EXPECT_EQ(std::memcmp(b->getData(), "def", 3), 0);
  b.reset();
}

TEST(MemPoolTest, ManyThreadsCheckOutAndReturn) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 3000;
  P<zel::CMemPool> pool = zel::make<zel::CMemPool>(3, 64, zel::CMemPool::FlagLazy);
  std::latch ready(kThreads);
  std::atomic<int> corrupted{0};
  // A buffer parked here by one thread is returned by whichever thread swaps it out
  // next, so that buffers also go back on other threads than the one that took them.
  std::mutex parkMutex;
  P<zel::CMemPoolBuffer> parked;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.arrive_and_wait();
      for (int i = 0; i < kRounds; ++i) {
        P<zel::CMemPoolBuffer> buffer = pool->checkOutItem();
        if (!buffer->isEmpty()) ++corrupted;
        const auto mark = static_cast<unsigned char>(t * 31 + i);
        std::memset(buffer->getFreePtr(64), mark, 64);
        buffer->addUsed(64);
        for (std::size_t j = 0; j < 64; ++j) {
          if (buffer->getData()[j] != mark) ++corrupted;
        }
        if (i % 5 == 0) {
          std::lock_guard<std::mutex> lock(parkMutex);
          std::swap(parked, buffer);
        }
        // `buffer` (this thread's or another's) goes back here.
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  parked.reset();
  EXPECT_EQ(corrupted.load(), 0);
  // How many buffers were made depends on how the threads overlapped.
  EXPECT_GE(pool->getIdleCount(), 1u);
  EXPECT_LE(pool->getIdleCount(), 3u);
  EXPECT_EQ(pool->getRefCount(), 1);
}

}  // namespace
