#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "zel/CBase.h"
#include "zel/IAsyncOperation.h"
#include "zel/IDoneListener.h"
#include "zel/P.h"

namespace zel {

// A few threads that run the work of asynchronous operations and then tell their
// listeners: what file systems use to keep the promise of IDoneListener.
//
// submit() only queues. A pool thread later runs the work; when it returns the listener
// is told onDone(nullptr), when it throws onDone(error) with what it threw (any other
// exception than a zel::CError arrives wrapped as zel::CStdExceptionError). Each
// listener is told exactly once, on a pool thread, never inside submit(), so a caller
// may start its next step from inside a completion. The pool holds a counted reference
// to the listener from submit() until onDone has returned; a listener that is not a heap
// object must live until the operation's isDone() is true. An exception that escapes
// onDone is logged with zel::logError; the thread goes on.
//
// Shutting down (shutdown() or the destructor) runs every queued operation to the end,
// also those that running operations start meanwhile, and then ends the threads; it
// returns when all of that is done. Afterwards submit() throws zel::CError. The pool may
// be shut down from one of its own threads (a listener dropped the last reference to
// the pool's owner): that thread runs what is left in the queue itself, waits for the
// other threads and is then left to end on its own.
//
// Thread-safe: submit() may be called from any thread, also from inside work or a
// listener. shutdown() is meant for the owner; two concurrent calls do not wait for
// each other.
class CCompletionPool final : public CBase {
 public:
  // The work of one operation; throws to report a failure.
  using Work = std::function<void()>;

  // Starts `threadCount` threads (at least 1, else zel::CInvalidArgError).
  explicit CCompletionPool(int threadCount = 2);
  ~CCompletionPool() override;
  CCompletionPool(const CCompletionPool&) = delete;
  CCompletionPool& operator=(const CCompletionPool&) = delete;

  // Queues `work`; `listener` may be null. The work (and what it holds) is destroyed
  // before the listener is told.
  P<IAsyncOperation> submit(Work work, IDoneListener* listener);

  // Runs what is queued and ends the threads; see above.
  void shutdown();

  // True on one of the pool's threads.
  bool isPoolThread() const;
  // Runs what is queued now on the calling thread. For an owner that waits, on one of
  // the pool's threads, for work that would otherwise queue behind it.
  void runQueued();

  int getThreadCount() const noexcept { return threadCount; }

 private:
  struct Task;
  struct State;

  static void threadMain(std::shared_ptr<State> state);
  static void runTask(Task& task) noexcept;
  // Runs queued tasks on the calling thread until the queue is empty.
  static void drain(State& state);

  const int threadCount;
  // Shared with the threads, so that a thread left to end on its own (see above) still
  // has its queue when the pool is gone.
  const std::shared_ptr<State> state;
  mutable std::mutex threadsMutex;   // guards threads
  std::vector<std::thread> threads;  // emptied by the first shutdown()
};

}  // namespace zel
