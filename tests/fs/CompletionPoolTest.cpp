#include <stdexcept>

#include "FsTestSupport.h"
#include "zel/CCompletionPool.h"
#include "zel/CInvalidArgError.h"
#include "zel/CStdExceptionError.h"

using namespace zel;

namespace fleck::test {
namespace {

TEST(CompletionPoolTest, ReportsWhatTheWorkThrowsOnceAfterReleasingIt) {
  CCompletionPool pool(2);
  auto run = [&](CCompletionPool::Work work) {
    return runOperation([&](IDoneListener* listener) { return pool.submit(work, listener); });
  };
  EXPECT_EQ(run([] {})->getError(), nullptr);
  // A zel error keeps its class; others arrive wrapped.
  EXPECT_EQ(run([] { throw CFileSystemError(CFileSystemError::AlreadyExists); })->getProblem(),
            CFileSystemError::AlreadyExists);
  auto wrapped = run([] { throw std::runtime_error("plain"); })->getError();
  ASSERT_NE(dynamic_cast<const CStdExceptionError*>(wrapped.get()), nullptr);
  EXPECT_EQ(wrapped->getMessage(), L"plain");
  EXPECT_NE(run([] { throw 42; })->getError(), nullptr);
  EXPECT_THROW(CCompletionPool(0), CInvalidArgError);

  // The work and what it holds are gone before the listener is told.
  auto held = make<CSignal>();
  long countDuringListener = -1;
  auto listener =
      make<RecordingListener>([&](const CError*) { countDuringListener = held->getRefCount(); });
  ASSERT_TRUE(pool.submit([held] {}, listener.get())->waitDone(kHangGuardMs));
  EXPECT_EQ(countDuringListener, 1);
  // Without a listener the work still runs.
  std::atomic<bool> ran{false};
  ASSERT_TRUE(pool.submit([&] { ran = true; }, nullptr)->waitDone(kHangGuardMs));
  EXPECT_TRUE(ran.load());
}

// Shutdown runs what is queued and what running work starts meanwhile, then refuses.
TEST(CompletionPoolTest, ShutdownRunsEverythingQueuedThenRefusesWork) {
  auto pool = make<CCompletionPool>(2);
  CSignal gate;
  std::mutex mutex;  // guards listeners
  std::vector<P<RecordingListener>> listeners;
  auto submit = [&](CCompletionPool::Work work, RecordingListener::Hook hook = nullptr) {
    auto listener = make<RecordingListener>(std::move(hook));
    {
      std::lock_guard<std::mutex> lock(mutex);
      listeners.push_back(listener);
    }
    pool->submit(std::move(work), listener.get());
  };
  // Both threads wait at the gate, so that the rest queue.
  for (int i = 0; i < 2; ++i)
    submit([&] { ASSERT_TRUE(gate.wait(kHangGuardMs)); });
  std::atomic<int> ran{0};
  for (int i = 0; i < 100; ++i)
    submit([&] { ran.fetch_add(1); });
  // A chain in which each completion starts the next step.
  std::atomic<int> chained{0};
  std::function<void(const CError*)> step = [&](const CError*) {
    if (chained.fetch_add(1) + 1 < 10) submit([] {}, step);
  };
  submit([] {}, step);
  std::thread opener([&] { gate.set(); });
  pool->shutdown();
  opener.join();
  EXPECT_EQ(ran.load(), 100);
  EXPECT_EQ(chained.load(), 10);
  for (auto& listener : listeners)
    EXPECT_EQ(listener->getCalls(), 1);
  EXPECT_THROW(pool->submit([] {}, nullptr), CError);
  pool->shutdown();  // again: nothing to do
}

}  // namespace
}  // namespace fleck::test
