// CSignal, CSemaphore, CMutex, CThread and CMTRand. Threads meet through
// signals and latches, never through sleeps, and no test asserts on how long
// something took.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <latch>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "zel/CError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CMTRand.h"
#include "zel/CMutex.h"
#include "zel/CSemaphore.h"
#include "zel/CSignal.h"
#include "zel/CThread.h"
#include "zel/Log.h"

namespace {

using zel::CSignal;
using zel::P;
using zel::String;

// Long enough never to run out on a loaded machine; a wait that should succeed must
// never depend on it.
constexpr int kGenerousMs = 60000;

TEST(SignalTest, SetResetAndTimeOuts) {
  CSignal signal;
  EXPECT_FALSE(signal.wait(0));
  EXPECT_FALSE(signal.wait(5));  // times out: the result, not the duration, is checked
  signal.set();
  EXPECT_TRUE(signal.wait(-1));
  EXPECT_TRUE(signal.wait(0));  // manual reset: waiting does not consume it
  signal.reset();
  EXPECT_FALSE(signal.isSet());
  EXPECT_FALSE(signal.wait(1));
  EXPECT_TRUE(CSignal(true).wait(0));
}

TEST(SignalTest, OneSetReleasesEveryWaiter) {
  constexpr int kWaiters = 8;
  CSignal signal;
  std::latch started(kWaiters);
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&, i] {
      started.count_down();
      // Half wait without a limit, half with one that must not run out.
      const bool got = (i % 2 == 0) ? signal.wait(-1) : signal.wait(kGenerousMs);
      if (got) ++released;
    });
  }
  started.wait();
  signal.set();
  for (auto& t : waiters)
    t.join();
  EXPECT_EQ(released.load(), kWaiters);
}

TEST(SemaphoreTest, TakeAndGive) {
  zel::CSemaphore semaphore(2);
  EXPECT_TRUE(semaphore.take(0));
  EXPECT_TRUE(semaphore.take(-1));
  EXPECT_FALSE(semaphore.take(2));
  semaphore.give(3);
  EXPECT_EQ(semaphore.getFreeUnits(), 3);
  EXPECT_THROW(semaphore.give(-1), zel::CInvalidArgError);
  EXPECT_EQ(semaphore.getFreeUnits(), 3);
}

TEST(SemaphoreTest, NeverMoreHoldersThanUnits) {
  constexpr int kUnits = 3;
  constexpr int kThreads = 8;
  zel::CSemaphore semaphore(kUnits);
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  std::latch ready(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      ready.arrive_and_wait();
      for (int i = 0; i < 500; ++i) {
        ASSERT_TRUE(semaphore.take(-1));
        const int now = ++inside;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        --inside;
        semaphore.give();
      }
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_LE(most.load(), kUnits);
  EXPECT_GE(most.load(), 1);
  EXPECT_EQ(semaphore.getFreeUnits(), kUnits);
}

TEST(MutexTest, ReentrantLocking) {
  zel::CMutex mutex;
  mutex.lock();
  EXPECT_TRUE(mutex.tryLock());
  mutex.unlock();
  EXPECT_TRUE(mutex.isHeldByCurrentThread());
  bool otherGot = true;
  std::thread([&] { otherGot = mutex.tryLock(); }).join();
  EXPECT_FALSE(otherGot);
  mutex.unlock();
  EXPECT_FALSE(mutex.isHeldByCurrentThread());
}

TEST(MutexTest, ExcludesOtherThreads) {
  zel::CMutex mutex;
  long counter = 0;  // guarded by mutex; the thread sanitizer checks that it is
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        zel::CMutexLock outer(mutex);
        zel::CMutexLock inner(&mutex);
        ++counter;
      }
    });
  }
  for (auto& t : threads)
    t.join();
  EXPECT_EQ(counter, 4 * 5000);
}

TEST(MutexTest, UnlockReleasesEveryLevelAndRestoresThem) {
  zel::CMutex mutex;
  int shared = 0;  // guarded by mutex
  zel::CMutexLock first(mutex);
  zel::CMutexLock second(mutex);
  {
    zel::CMutexUnlock unlocked(mutex);
    EXPECT_FALSE(mutex.isHeldByCurrentThread());
    // Another thread can now take the mutex; it would wait forever if a level were
    // still held.
    std::thread other([&] {
      zel::CMutexLock lock(mutex);
      shared = 42;
    });
    other.join();
  }
  EXPECT_TRUE(mutex.isHeldByCurrentThread());
  EXPECT_EQ(shared, 42);
  // Both levels are back: one unlock leaves the mutex held.
  mutex.unlock();
  EXPECT_TRUE(mutex.isHeldByCurrentThread());
  bool otherGot = true;
  std::thread([&] { otherGot = mutex.tryLock(); }).join();
  EXPECT_FALSE(otherGot);
  mutex.lock();  // for `second` to release
}

TEST(MutexTest, UnlockWaitsForTheMutexToComeBack) {
  zel::CMutex mutex;
  zel::CMutexLock held(mutex);
  CSignal otherHolds;
  CSignal letGo;
  std::atomic<bool> restored{false};
  std::thread other;
  {
    zel::CMutexUnlock unlocked(mutex);
    other = std::thread([&] {
      zel::CMutexLock lock(mutex);
      otherHolds.set();
      letGo.wait(-1);
      // Still held here, so the first thread cannot have restored its levels yet.
      EXPECT_FALSE(restored.load());
    });
    ASSERT_TRUE(otherHolds.wait(-1));
    letGo.set();
  }  // relocks: waits until `other` gives the mutex up
  restored = true;
  EXPECT_TRUE(mutex.isHeldByCurrentThread());
  other.join();
}

TEST(MutexTest, UnlockingAMutexNotHeldIsAnError) {
  zel::CMutex mutex;
  EXPECT_THROW({ zel::CMutexUnlock unlocked(mutex); }, zel::CError);
  mutex.lock();
  std::thread([&] { EXPECT_THROW({ zel::CMutexUnlock unlocked(mutex); }, zel::CError); }).join();
  mutex.unlock();
}

TEST(MutexDeathTest, UnlockByANonOwnerAborts) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        zel::CMutex mutex;
        mutex.unlock();
      },
      "does not hold it");
}

// Installs a sink that collects log lines for the scope of a test.
class LogCollector {
 public:
  LogCollector()
      : previous(zel::setLogSink(
            [this](const String& message, const std::exception& error, const String&) {
              std::lock_guard<std::mutex> lock(mutex);
              lines.push_back(message.toUTF8() + ": " + error.what());
            })) {}
  ~LogCollector() { zel::setLogSink(std::move(previous)); }

  std::vector<std::string> getLines() {
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
  }

 private:
  std::mutex mutex;
  std::vector<std::string> lines;  // guarded by mutex
  zel::LogSink previous;
};

class CRecordingRunnable final : public zel::CBase, public virtual zel::IRunnable {
 public:
  void run() override { ran.set(); }
  CSignal ran;
};

TEST(ThreadTest, RunsItsRunnableAndIsJoinedByItsDestructor) {
  auto runnable = zel::make<CRecordingRunnable>();
  {
    zel::CThread thread(runnable.get(), false);  // directly owned, holds no reference
    EXPECT_FALSE(thread.waitFinished(0));
    thread.start();
    ASSERT_TRUE(runnable->ran.wait(-1));
  }  // joins
  EXPECT_EQ(runnable->getRefCount(), 1);
}

// Works until asked to stop; records what ran.
class CWorker : public zel::CThread {
 public:
  explicit CWorker(bool holdReference = true) : CThread(nullptr, holdReference) {}
  void run() override {
    started.set();
    while (checkContinue())
      waitForStopRequest(-1);
  }
  void onRunFinished() override { finished.set(); }

  CSignal started;
  CSignal finished;
};

TEST(ThreadTest, StopWaitsForTheEndAndAThreadStartsOnce) {
  P<CWorker> worker = zel::make<CWorker>();
  worker->start();
  EXPECT_THROW(worker->start(), zel::CError);
  ASSERT_TRUE(worker->started.wait(-1));
  worker->stop(true);
  // stop(true) returned, so run and onRunFinished are done.
  EXPECT_TRUE(worker->finished.isSet());
  EXPECT_TRUE(worker->waitFinished(0));
  EXPECT_FALSE(worker->checkContinue());
  worker->stop(true);  // again: nothing left to wait for
  EXPECT_THROW(worker->start(), zel::CError);

  P<CWorker> idle = zel::make<CWorker>();
  idle->stop(true);  // never started: returns
  EXPECT_FALSE(idle->checkContinue());

  P<CWorker> signalled = zel::make<CWorker>();
  signalled->start();
  signalled->signalStop();
  EXPECT_TRUE(signalled->waitFinished(-1));
  EXPECT_TRUE(signalled->finished.isSet());
}

class CThrowingThread final : public zel::CThread {
 public:
  explicit CThrowingThread(int kind) : kind(kind) {}
  void run() override {
    if (kind == 0) throw zel::CError("run failed", "test", 3);
    if (kind == 1) throw std::runtime_error("std failure");
    throw 42;  // not an exception class at all
  }
  void onRunFinished() override { finished.set(); }
  CSignal finished;

 private:
  int kind;
};

TEST(ThreadTest, ExceptionInRunIsLoggedAndOnRunFinishedStillRuns) {
  for (int kind = 0; kind < 3; ++kind) {
    SCOPED_TRACE(kind);
    LogCollector log;
    P<CThrowingThread> thread = zel::make<CThrowingThread>(kind);
    thread->start();
    ASSERT_TRUE(thread->waitFinished(-1));
    EXPECT_TRUE(thread->finished.isSet());
    const auto lines = log.getLines();
    ASSERT_EQ(lines.size(), 1u);
    const char* expected[] = {"run failed [test, code 3]", "std failure", "Unhandled exception"};
    EXPECT_NE(lines[0].find(expected[kind]), std::string::npos) << lines[0];
  }
}

// Tells the world when it is destroyed.
class CObservedWorker final : public zel::CThread {
 public:
  CObservedWorker(CSignal* go, CSignal* destroyed) : go(go), destroyed(destroyed) {}
  ~CObservedWorker() override { destroyed->set(); }
  void run() override { go->wait(-1); }

 private:
  CSignal* go;
  CSignal* destroyed;
};

TEST(ThreadTest, RunningThreadKeepsItsObjectAlive) {
  CSignal go;
  CSignal destroyed;
  {
    P<CObservedWorker> worker = zel::make<CObservedWorker>(&go, &destroyed);
    worker->start();
  }  // the owner's last reference goes while run() waits
  EXPECT_FALSE(destroyed.isSet());
  go.set();
  // The thread drops the last reference itself, and the object goes on that thread.
  EXPECT_TRUE(destroyed.wait(-1));
}

// The thread asks itself to stop and wait while its owner stops it too: neither may
// wait for the other.
class CSelfStopper final : public zel::CThread {
 public:
  void run() override {
    started.set();
    waitForStopRequest(-1);
    for (int i = 0; i < 2000; ++i)
      stop(true);  // on itself: must return at once
  }
  CSignal started;
};

TEST(ThreadTest, StopOnItselfWhileTheOwnerStopsIt) {
  for (int round = 0; round < 20; ++round) {
    P<CSelfStopper> thread = zel::make<CSelfStopper>();
    thread->start();
    ASSERT_TRUE(thread->started.wait(-1));
    thread->stop(true);
    EXPECT_TRUE(thread->waitFinished(0));
  }
}

TEST(MTRandTest, FixedSeedIsRepeatable) {
  zel::CMTRand a(12345);
  zel::CMTRand b(12345);
  zel::CMTRand d(12345ull | (1ull << 40));  // the high half of the seed counts too
  bool differsHigh = false;
  for (int i = 0; i < 100; ++i) {
    const auto x = a.randInt();
    ASSERT_EQ(x, b.randInt());
    differsHigh |= x != d.randInt();
  }
  EXPECT_TRUE(differsHigh);
  // randInt64 takes the first draw as its high half.
  const std::uint64_t high = b.randInt();
  const std::uint64_t low = b.randInt();
  EXPECT_EQ(a.randInt64(), (high << 32) | low);
}

TEST(MTRandTest, RandBelowStaysBelow) {
  zel::CMTRand random(7);
  EXPECT_EQ(random.randBelow(1), 0u);
  EXPECT_THROW(random.randBelow(0), zel::CInvalidArgError);
  bool sawTop = false;
  for (int i = 0; i < 1000; ++i) {
    const auto v = random.randBelow(3);
    ASSERT_LT(v, 3u);
    sawTop |= v == 2;
    ASSERT_LT(random.randBelow(1ull << 63), 1ull << 63);
  }
  EXPECT_TRUE(sawTop);
}

TEST(MTRandTest, RandDataFillsExactlyTheAskedLength) {
  zel::CMTRand random(3);
  for (std::size_t n = 0; n < 19; ++n) {
    SCOPED_TRACE(n);
    // Exactly n bytes on the heap, so that the address sanitizer sees any overrun.
    std::unique_ptr<unsigned char[]> exact(new unsigned char[n]);
    random.randData(exact.get(), n);
  }
  // Every byte is filled, not just some: 1001 random bytes take most of the 256 values.
  std::vector<unsigned char> many(1001, 0);
  random.randData(many.data(), many.size());
  EXPECT_GT(std::set<unsigned char>(many.begin(), many.end()).size(), 200u);
}

TEST(MTRandTest, GlobalInstanceUnderItsMutex) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 2000; ++i) {
        zel::CMutexLock lock(zel::CMTRand::getGlobalInstanceMutex());
        (void)zel::CMTRand::getGlobal()->randInt();
      }
    });
  }
  for (auto& t : threads)
    t.join();
}

}  // namespace
