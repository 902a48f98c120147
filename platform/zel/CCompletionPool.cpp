#include "zel/CCompletionPool.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <system_error>

#include "zel/CAsyncOperation.h"
#include "zel/CError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CStdExceptionError.h"
#include "zel/Log.h"

namespace zel {

struct CCompletionPool::Task {
  Work work;
  P<IDoneListener> listener;
  P<CAsyncOperation> operation;
};

struct CCompletionPool::State {
  std::mutex mutex;  // guards everything below
  std::condition_variable wake;
  std::deque<Task> queue;
  bool stopping = false;
  // Threads that have not yet decided to end. While one is left, a queued task is
  // certain to run: every thread looks at the queue once more before it ends.
  int runningThreads = 0;
};

CCompletionPool::CCompletionPool(int threadCount)
    : threadCount(threadCount), state(std::make_shared<State>()) {
  if (threadCount < 1) {
    throw CInvalidArgError("zel::CCompletionPool", "a completion pool needs at least one thread",
                           CProps().add("threads", threadCount));
  }
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->runningThreads = threadCount;
  }
  try {
    for (int i = 0; i < threadCount; ++i)
      threads.emplace_back(&CCompletionPool::threadMain, state);
  } catch (const std::system_error& e) {
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->runningThreads -= threadCount - static_cast<int>(threads.size());
    }
    shutdown();
    const CStdExceptionError cause(e);
    throw CError("Cannot start the threads of a completion pool", "zel::CCompletionPool", -1,
                 CProps().add("threads", threadCount), &cause);
  }
}

CCompletionPool::~CCompletionPool() {
  try {
    shutdown();
  } catch (const std::exception& e) {
    onExceptionInDestructorIgnored("zel::CCompletionPool", e, true);
  }
}

P<IAsyncOperation> CCompletionPool::submit(Work work, IDoneListener* listener) {
  P<CAsyncOperation> operation = make<CAsyncOperation>();
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->runningThreads == 0) {
      throw CError("INTERNAL ERROR: operation started on a completion pool that was shut down",
                   "zel::CCompletionPool");
    }
    state->queue.push_back(Task{std::move(work), P<IDoneListener>(listener), operation});
  }
  state->wake.notify_one();
  return operation;
}

void CCompletionPool::shutdown() {
  std::vector<std::thread> ending;
  {
    std::lock_guard<std::mutex> lock(threadsMutex);
    ending.swap(threads);
  }
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->stopping = true;
  }
  state->wake.notify_all();

  const auto self = std::this_thread::get_id();
  const bool onPoolThread = std::any_of(
      ending.begin(), ending.end(), [self](const std::thread& t) { return t.get_id() == self; });
  // A pool thread cannot wait for itself; it runs the rest of the queue here instead,
  // so that a pool of one thread still finishes everything before this returns.
  if (onPoolThread) drain(*state);
  for (auto& thread : ending) {
    if (thread.get_id() == self) {
      // Returns to the task that called us, then finds the queue empty and ends; it
      // touches only the shared state from here on.
      thread.detach();
    } else {
      thread.join();
    }
  }
  if (onPoolThread) drain(*state);
}

bool CCompletionPool::isPoolThread() const {
  const auto self = std::this_thread::get_id();
  std::lock_guard<std::mutex> lock(threadsMutex);
  return std::any_of(threads.begin(), threads.end(),
                     [self](const std::thread& t) { return t.get_id() == self; });
}

void CCompletionPool::runQueued() {
  drain(*state);
}

void CCompletionPool::drain(State& state) {
  for (;;) {
    Task task;
    {
      std::lock_guard<std::mutex> lock(state.mutex);
      if (state.queue.empty()) return;
      task = std::move(state.queue.front());
      state.queue.pop_front();
    }
    runTask(task);
  }
}

void CCompletionPool::threadMain(std::shared_ptr<State> state) {
  // `state` is this thread's own reference: the pool may be gone while the thread runs.
  for (;;) {
    Task task;
    {
      std::unique_lock<std::mutex> lock(state->mutex);
      state->wake.wait(lock, [&] { return !state->queue.empty() || state->stopping; });
      if (state->queue.empty()) {
        --state->runningThreads;
        return;
      }
      task = std::move(state->queue.front());
      state->queue.pop_front();
    }
    runTask(task);
  }
}

void CCompletionPool::runTask(Task& task) noexcept {
  P<CError> error;
  try {
    task.work();
  } catch (const std::exception& e) {
    error = CStdExceptionError::exceptionToError(e);
  } catch (...) {
    error = make<CError>("Asynchronous operation failed with an exception of unknown type",
                         "zel::CCompletionPool");
  }
  // What the work holds (a source stream, say) is let go before the listener hears of
  // the end, so that it may reuse it.
  task.work = nullptr;
  if (task.listener != nullptr) {
    try {
      task.listener->onDone(error.get());
    } catch (const std::exception& e) {
      logError(e, "Exception escaped IDoneListener::onDone", String());
    } catch (...) {
      logError(CError("exception of unknown type"), "Exception escaped IDoneListener::onDone",
               String());
    }
    task.listener = nullptr;
  }
  task.operation->markDone();
}

}  // namespace zel
