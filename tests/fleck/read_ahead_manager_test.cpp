#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "fleck/CParallelReadAheadManager.h"
#include "zel/CInvalidArgError.h"

namespace fleck {
namespace {

using Buffer = zel::TBuffer<unsigned char>;

zel::P<Buffer> bufferFor(std::int64_t index) {
  auto buffer = zel::make<Buffer>();
  const auto byte = static_cast<unsigned char>(index);
  buffer->assign(&byte, 1);
  return buffer;
}

std::int64_t indexOf(const zel::P<Buffer>& buffer) {
  return buffer->getData()[0];
}

// A read thread that the test watches: it records every index it is given and stores
// a one-byte payload for it (or an error for `failing`).
class Worker {
 public:
  Worker(CParallelReadAheadManager& manager, std::int64_t failing = -1)
      : thread([this, &manager, failing] {
          for (;;) {
            const std::int64_t index = manager.nextFleckIndexForReadAhead();
            if (index == -1) break;
            {
              std::lock_guard<std::mutex> lock(mutex);
              given.push_back(index);
            }
            if (index == failing) {
              // The manager keeps a counted reference: a heap error, as read threads pass.
              manager.storeReadAheadResult(index, nullptr,
                                           zel::make<zel::CError>("cannot read this fleck"));
            } else {
              manager.storeReadAheadResult(index, bufferFor(index), nullptr);
            }
          }
        }) {}
  ~Worker() { thread.join(); }
  std::vector<std::int64_t> indexes() {
    std::lock_guard<std::mutex> lock(mutex);
    return given;
  }

 private:
  std::mutex mutex;
  std::vector<std::int64_t> given;
  std::thread thread;
};

TEST(ReadAheadManagerTest, HandsOverInOrderAndNeverRunsFurtherAheadThanTheThreads) {
  auto manager = zel::make<CParallelReadAheadManager>(10, 2);
  {
    Worker a(*manager), b(*manager);
    for (std::int64_t i = 0; i < 10; ++i) {
      EXPECT_LE(manager->getOutstandingCount(), 2);
      EXPECT_EQ(indexOf(manager->getFleckData(i)), i);
    }
    manager->signalStop();
    std::vector<std::int64_t> all = a.indexes();
    const auto more = b.indexes();
    all.insert(all.end(), more.begin(), more.end());
    std::sort(all.begin(), all.end());
    // Every fleck was read exactly once.
    EXPECT_EQ(all, (std::vector<std::int64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  }
}

TEST(ReadAheadManagerTest, ClaimsAreBoundedByTheThreadCount) {
  auto manager = zel::make<CParallelReadAheadManager>(10, 2);
  EXPECT_EQ(manager->nextFleckIndexForReadAhead(), 0);
  EXPECT_EQ(manager->nextFleckIndexForReadAhead(), 1);
  // A third claim must wait until the reader has taken a result.
  auto third =
      std::async(std::launch::async, [&] { return manager->nextFleckIndexForReadAhead(); });
  EXPECT_EQ(third.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  manager->storeReadAheadResult(0, bufferFor(0), nullptr);
  EXPECT_EQ(indexOf(manager->getFleckData(0)), 0);
  EXPECT_EQ(third.get(), 2);
  manager->signalStop();
}

TEST(ReadAheadManagerTest, AJumpDiscardsWhatWasReadAhead) {
  auto manager = zel::make<CParallelReadAheadManager>(20, 2);
  EXPECT_EQ(manager->nextFleckIndexForReadAhead(), 0);
  EXPECT_EQ(manager->nextFleckIndexForReadAhead(), 1);
  manager->storeReadAheadResult(0, bufferFor(0), nullptr);
  manager->storeReadAheadResult(1, bufferFor(1), nullptr);
  EXPECT_EQ(manager->getOutstandingCount(), 2);
  {
    Worker worker(*manager);
    // Asking for 5 drops 1 (ready) and restarts at 5; 2 to 4 are never read.
    EXPECT_EQ(indexOf(manager->getFleckData(5)), 5);
    EXPECT_EQ(indexOf(manager->getFleckData(6)), 6);
    manager->signalStop();
    for (std::int64_t index : worker.indexes())
      EXPECT_GE(index, 5);
  }
}

TEST(ReadAheadManagerTest, AResultForADiscardedIndexIsDropped) {
  auto manager = zel::make<CParallelReadAheadManager>(20, 1);
  EXPECT_EQ(manager->nextFleckIndexForReadAhead(), 0);
  // The reader jumps while fleck 0 is being read; its late result must not count.
  auto reader = std::async(std::launch::async, [&] { return indexOf(manager->getFleckData(3)); });
  // The jump gave the claimed unit back, so the thread gets the new work.
  EXPECT_EQ(manager->nextFleckIndexForReadAhead(), 3);
  manager->storeReadAheadResult(0, bufferFor(0), nullptr);
  EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  manager->storeReadAheadResult(3, bufferFor(3), nullptr);
  EXPECT_EQ(reader.get(), 3);
  manager->signalStop();
}

TEST(ReadAheadManagerTest, AnErrorIsDeliveredOnceAndReadingGoesOn) {
  auto manager = zel::make<CParallelReadAheadManager>(8, 2);
  {
    Worker a(*manager, 4), b(*manager, 4);
    for (std::int64_t i = 0; i < 4; ++i)
      EXPECT_EQ(indexOf(manager->getFleckData(i)), i);
    try {
      manager->getFleckData(4);
      FAIL() << "no error for fleck 4";
    } catch (const zel::CError& e) {
      EXPECT_EQ(e.getMessage(), zel::String("cannot read this fleck"));
    }
    EXPECT_EQ(indexOf(manager->getFleckData(5)), 5);
    manager->signalStop();
  }
}

TEST(ReadAheadManagerTest, StopWakesEveryWaiter) {
  auto manager = zel::make<CParallelReadAheadManager>(1, 3);
  // One thread claims the only fleck; two wait for work at the end; the reader waits
  // for a fleck that is claimed but never delivered.
  EXPECT_EQ(manager->nextFleckIndexForReadAhead(), 0);
  auto idle1 =
      std::async(std::launch::async, [&] { return manager->nextFleckIndexForReadAhead(); });
  auto idle2 =
      std::async(std::launch::async, [&] { return manager->nextFleckIndexForReadAhead(); });
  auto blocked =
      std::async(std::launch::async, [&] { return manager->nextFleckIndexForReadAhead(); });
  auto reader = std::async(std::launch::async, [&] { manager->getFleckData(0); });
  EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  manager->signalStop();
  EXPECT_EQ(idle1.get(), -1);
  EXPECT_EQ(idle2.get(), -1);
  EXPECT_EQ(blocked.get(), -1);
  EXPECT_THROW(reader.get(), zel::CError);
  EXPECT_EQ(manager->nextFleckIndexForReadAhead(), -1);
  EXPECT_THROW(manager->getFleckData(0), zel::CError);
}

TEST(ReadAheadManagerTest, RejectsNegativeIndexesAndThreadCounts) {
  auto manager = zel::make<CParallelReadAheadManager>(4, 1);
  try {
    manager->getFleckData(-1);
    FAIL();
  } catch (const zel::CInvalidArgError& e) {
    EXPECT_EQ(e.getProps().lookup("fleckIndex"), zel::String("-1"));
  }
  manager->signalStop();
  EXPECT_THROW(CParallelReadAheadManager(4, 0), zel::CInvalidArgError);
}

}  // namespace
}  // namespace fleck
