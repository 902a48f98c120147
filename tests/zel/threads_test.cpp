// CSignal, CSemaphore, CMutex, CThread, CTime and CMTRand. Threads meet through
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
#include "zel/CTime.h"
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
  EXPECT_FALSE(signal.isSet());
  EXPECT_FALSE(signal.wait(0));
  EXPECT_FALSE(signal.wait(5));  // times out: the result, not the duration, is checked
  signal.set();
  EXPECT_TRUE(signal.isSet());
  EXPECT_TRUE(signal.wait(0));
  EXPECT_TRUE(signal.wait(-1));
  EXPECT_TRUE(signal.wait(kGenerousMs));
  EXPECT_TRUE(signal.wait(0));  // manual reset: waiting does not consume it
  signal.set();
  EXPECT_TRUE(signal.isSet());
  signal.reset();
  EXPECT_FALSE(signal.isSet());
  EXPECT_FALSE(signal.wait(0));
  EXPECT_FALSE(signal.wait(1));

  CSignal initiallySet(true);
  EXPECT_TRUE(initiallySet.wait(0));
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
  EXPECT_FALSE(semaphore.take(0));
  EXPECT_FALSE(semaphore.take(2));
  EXPECT_EQ(semaphore.getFreeUnits(), 0);
  semaphore.give();
  EXPECT_EQ(semaphore.getFreeUnits(), 1);
  EXPECT_TRUE(semaphore.take(0));
  semaphore.give(3);
  EXPECT_EQ(semaphore.getFreeUnits(), 3);
  semaphore.give(0);
  EXPECT_THROW(semaphore.give(-1), zel::CInvalidArgError);
  EXPECT_EQ(semaphore.getFreeUnits(), 3);
}

TEST(SemaphoreTest, GiveOnOneThreadReleasesTakersOnOthers) {
  constexpr int kTakers = 5;
  zel::CSemaphore semaphore(0);
  std::atomic<int> taken{0};
  std::vector<std::thread> takers;
  for (int i = 0; i < kTakers; ++i) {
    takers.emplace_back([&, i] {
      if (i % 2 == 0 ? semaphore.take(-1) : semaphore.take(kGenerousMs)) ++taken;
    });
  }
  semaphore.give(2);  // several at once
  for (int i = 2; i < kTakers; ++i)
    semaphore.give();
  for (auto& t : takers)
    t.join();
  EXPECT_EQ(taken.load(), kTakers);
  EXPECT_EQ(semaphore.getFreeUnits(), 0);
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
  EXPECT_FALSE(mutex.isHeldByCurrentThread());
  mutex.lock();
  mutex.lock();
  EXPECT_TRUE(mutex.tryLock());
  EXPECT_TRUE(mutex.isHeldByCurrentThread());
  mutex.unlock();
  mutex.unlock();
  EXPECT_TRUE(mutex.isHeldByCurrentThread());
  bool otherGot = true;
  std::thread([&] { otherGot = mutex.tryLock(); }).join();
  EXPECT_FALSE(otherGot);
  mutex.unlock();
  EXPECT_FALSE(mutex.isHeldByCurrentThread());
  std::thread([&] {
    otherGot = mutex.tryLock();
    if (otherGot) mutex.unlock();
  }).join();
  EXPECT_TRUE(otherGot);
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

TEST(ThreadTest, RunsItsRunnable) {
  auto runnable = zel::make<CRecordingRunnable>();
  P<zel::CThread> thread = zel::make<zel::CThread>(runnable.get());
  EXPECT_FALSE(thread->waitFinished(0));
  thread->start();
  EXPECT_TRUE(thread->waitFinished(-1));
  EXPECT_TRUE(runnable->ran.isSet());
  thread->stop(true);
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

TEST(ThreadTest, StopWaitsForTheEnd) {
  P<CWorker> worker = zel::make<CWorker>();
  EXPECT_TRUE(worker->checkContinue());
  worker->start();
  ASSERT_TRUE(worker->started.wait(-1));
  worker->stop(true);
  // stop(true) returned, so run and onRunFinished are done.
  EXPECT_TRUE(worker->finished.isSet());
  EXPECT_TRUE(worker->waitFinished(0));
  EXPECT_FALSE(worker->checkContinue());
  worker->stop(true);  // again: nothing left to wait for
}

TEST(ThreadTest, SignalStopReturnsAtOnce) {
  P<CWorker> worker = zel::make<CWorker>();
  worker->start();
  worker->signalStop();
  EXPECT_TRUE(worker->waitFinished(-1));
  EXPECT_TRUE(worker->finished.isSet());
  EXPECT_TRUE(worker->waitForStopRequest(0));
}

TEST(ThreadTest, StopBeforeStartAndStartTwice) {
  P<CWorker> idle = zel::make<CWorker>();
  idle->stop(true);  // never started: returns
  EXPECT_FALSE(idle->checkContinue());

  P<CWorker> worker = zel::make<CWorker>();
  worker->start();
  EXPECT_THROW(worker->start(), zel::CError);
  worker->stop(true);
  EXPECT_THROW(worker->start(), zel::CError);
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

TEST(ThreadTest, DirectlyOwnedThreadWithoutHeldReference) {
  CWorker worker(false);
  worker.start();
  ASSERT_TRUE(worker.started.wait(-1));
  EXPECT_EQ(worker.getRefCount(), 0);
  worker.stop(true);
  EXPECT_TRUE(worker.finished.isSet());
}

TEST(ThreadTest, DirectlyOwnedThreadIsStoppedByItsDestructor) {
  auto runnable = zel::make<CRecordingRunnable>();
  {
    zel::CThread thread(runnable.get(), false);
    thread.start();
    ASSERT_TRUE(runnable->ran.wait(-1));
  }  // joins
  EXPECT_EQ(runnable->getRefCount(), 1);
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

TEST(TimeTest, SpansAndPoints) {
  const zel::CTimeSpan span = zel::CTimeSpan::fromMillis(1500);
  EXPECT_EQ(span.getMillis(), 1500);
  EXPECT_DOUBLE_EQ(span.getSeconds(), 1.5);
  EXPECT_EQ(zel::CTimeSpan(std::chrono::microseconds(-1999)).getMillis(), -1);  // toward zero
  EXPECT_LT(zel::CTimeSpan::fromMillis(1), span);
  const zel::CTime start = zel::CTime::now();
  const zel::CTime later = start + span;
  EXPECT_GT(later, start);
  EXPECT_EQ((later - start).getMillis(), 1500);
  EXPECT_GE(zel::CTime::now(), start);  // monotonic
}

TEST(MTRandTest, FixedSeedIsRepeatable) {
  zel::CMTRand a(12345);
  zel::CMTRand b(12345);
  zel::CMTRand c(12346);
  zel::CMTRand d(12345ull | (1ull << 40));  // the high half of the seed counts too
  bool differs = false;
  bool differsHigh = false;
  for (int i = 0; i < 1000; ++i) {
    const auto x = a.randInt();
    ASSERT_EQ(x, b.randInt());
    differs |= x != c.randInt();
    differsHigh |= x != d.randInt();
  }
  EXPECT_TRUE(differs);
  EXPECT_TRUE(differsHigh);
}

TEST(MTRandTest, Int64TakesTheFirstDrawAsItsHighHalf) {
  zel::CMTRand a(99);
  zel::CMTRand b(99);
  for (int i = 0; i < 100; ++i) {
    const std::uint64_t high = b.randInt();
    const std::uint64_t low = b.randInt();
    ASSERT_EQ(a.randInt64(), (high << 32) | low);
  }
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
  }
  EXPECT_TRUE(sawTop);
  for (int i = 0; i < 1000; ++i)
    ASSERT_LT(random.randBelow(1ull << 63), 1ull << 63);
}

TEST(MTRandTest, RandDataFillsExactlyTheAskedLength) {
  zel::CMTRand random(3);
  zel::CMTRand twin(3);
  for (std::size_t n = 0; n < 19; ++n) {
    SCOPED_TRACE(n);
    // Exactly n bytes on the heap, so that the address sanitizer sees any overrun,
    // and guard bytes around a copy for the other builds.
    std::unique_ptr<unsigned char[]> exact(new unsigned char[n]);
    random.randData(exact.get(), n);
    std::vector<unsigned char> guarded(n + 8, 0xA5);
    twin.randData(guarded.data() + 4, n);
    EXPECT_EQ(std::memcmp(guarded.data() + 4, exact.get(), n), 0);  // same seed, same bytes
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(guarded[i], 0xA5);
      EXPECT_EQ(guarded[n + 4 + i], 0xA5);
    }
  }
  // Every byte is filled, not just some: 1001 random bytes take most of the 256 values.
  std::vector<unsigned char> many(1001, 0);
  random.randData(many.data(), many.size());
  EXPECT_GT(std::set<unsigned char>(many.begin(), many.end()).size(), 200u);
}

TEST(MTRandTest, GlobalInstanceUnderItsMutex) {
  ASSERT_NE(zel::CMTRand::getGlobal(), nullptr);
  EXPECT_EQ(zel::CMTRand::getGlobal(), zel::CMTRand::getGlobal());
  std::vector<std::thread> threads;
  std::latch ready(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      ready.arrive_and_wait();
      for (int i = 0; i < 2000; ++i) {
        zel::CMutexLock lock(zel::CMTRand::getGlobalInstanceMutex());
        unsigned char salt[5];
        zel::CMTRand::getGlobal()->randData(salt, sizeof(salt));
        (void)zel::CMTRand::getGlobal()->randInt();
      }
    });
  }
  for (auto& t : threads)
    t.join();
  SUCCEED();
}

}  // namespace
