#include <stdexcept>

#include "FsTestSupport.h"
#include "zel/CCompletionPool.h"
#include "zel/CInvalidArgError.h"
#include "zel/CStdExceptionError.h"

using namespace zel;

namespace fleck_test {

namespace {

P<RecordingListener> runOnPool(CCompletionPool& pool, CCompletionPool::Work work) {
  return runOperation([&](IDoneListener* listener) { return pool.submit(work, listener); });
}

}  // namespace

TEST(CompletionPoolTest, ReportsWhatTheWorkThrowsExactlyOnce) {
  CCompletionPool pool(2);
  EXPECT_EQ(runOnPool(pool, [] {})->getError(), nullptr);

  // A zel error keeps its class.
  auto fsError = runOnPool(pool, [] { throw CFileSystemError(CFileSystemError::AlreadyExists); });
  EXPECT_EQ(fsError->getProblem(), CFileSystemError::AlreadyExists);
  // Others arrive wrapped.
  auto stdError = runOnPool(pool, [] { throw std::runtime_error("plain"); });
  ASSERT_NE(dynamic_cast<const CStdExceptionError*>(stdError->getError().get()), nullptr);
  EXPECT_EQ(stdError->getError()->getMessage(), L"plain");
  auto unknown = runOnPool(pool, [] { throw 42; });
  ASSERT_NE(unknown->getError(), nullptr);
  EXPECT_EQ(pool.getThreadCount(), 2);
  // Without a listener the work still runs.
  std::atomic<bool> ran{false};
  P<IAsyncOperation> operation = pool.submit([&] { ran = true; }, nullptr);
  ASSERT_TRUE(operation->waitDone(kHangGuardMs));
  EXPECT_TRUE(ran.load());
  EXPECT_THROW(CCompletionPool(0), CInvalidArgError);
}

TEST(CompletionPoolTest, WorkIsReleasedBeforeTheListenerIsTold) {
  CCompletionPool pool(1);
  auto held = make<CSignal>();
  long countDuringListener = -1;
  auto listener =
      make<RecordingListener>([&](const CError*) { countDuringListener = held->getRefCount(); });
  P<IAsyncOperation> operation = pool.submit([held] {}, listener.get());
  ASSERT_TRUE(operation->waitDone(kHangGuardMs));
  EXPECT_EQ(countDuringListener, 1);  // only the test's own reference is left
}

TEST(CompletionPoolTest, ShutdownRunsEverythingQueuedThenRefusesWork) {
  auto pool = make<CCompletionPool>(1);
  CSignal gate;
  std::vector<P<RecordingListener>> listeners;
  // The first operation holds the only thread until the gate opens, so the rest queue.
  listeners.push_back(make<RecordingListener>());
  pool->submit([&] { ASSERT_TRUE(gate.wait(kHangGuardMs)); }, listeners.back().get());
  std::atomic<int> ran{0};
  for (int i = 0; i < 100; ++i) {
    listeners.push_back(make<RecordingListener>());
    pool->submit([&] { ran.fetch_add(1); }, listeners.back().get());
  }
  std::thread opener([&] { gate.set(); });
  pool->shutdown();
  opener.join();
  EXPECT_EQ(ran.load(), 100);
  for (auto& listener : listeners)
    EXPECT_EQ(listener->getCalls(), 1);
  EXPECT_THROW(pool->submit([] {}, nullptr), CError);
  pool->shutdown();  // again: nothing to do
}

TEST(CompletionPoolTest, WorkStartedDuringShutdownStillRuns) {
  auto pool = make<CCompletionPool>(2);
  std::atomic<int> chained{0};
  std::vector<P<RecordingListener>> listeners;
  std::mutex listenersMutex;
  // Each completion starts one more step until ten have run.
  std::function<void()> step = [&] {
    if (chained.fetch_add(1) + 1 >= 10) return;
    auto next = make<RecordingListener>([&](const CError*) { step(); });
    {
      std::lock_guard<std::mutex> lock(listenersMutex);
      listeners.push_back(next);
    }
    pool->submit([] {}, next.get());
  };
  step();
  pool->shutdown();
  EXPECT_EQ(chained.load(), 10);
  for (auto& listener : listeners)
    EXPECT_EQ(listener->getCalls(), 1);
}

TEST(CompletionPoolTest, DestroyedFromItsOwnThread) {
  for (int threads : {1, 3}) {
    SCOPED_TRACE(threads);
    P<CCompletionPool> pool = make<CCompletionPool>(threads);
    CSignal ownerGone;
    P<CCompletionPool> held = pool;
    auto dropper = make<RecordingListener>([&](const CError*) {
      ASSERT_TRUE(ownerGone.wait(kHangGuardMs));
      held = nullptr;  // the last reference: the pool ends on its own thread
    });
    std::vector<P<IAsyncOperation>> operations;
    operations.push_back(pool->submit([] {}, dropper.get()));
    std::atomic<int> ran{0};
    for (int i = 0; i < 50; ++i)
      operations.push_back(pool->submit([&] { ran.fetch_add(1); }, nullptr));
    pool = nullptr;
    ownerGone.set();
    for (auto& operation : operations)
      ASSERT_TRUE(operation->waitDone(kHangGuardMs));
    EXPECT_EQ(ran.load(), 50);
  }
}

}  // namespace fleck_test
