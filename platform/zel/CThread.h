#pragma once

#include <atomic>
#include <mutex>
#include <thread>

#include "zel/CBase.h"
#include "zel/CSignal.h"
#include "zel/IRunnable.h"
#include "zel/P.h"

namespace zel {

// A thread of the operating system with a cooperative stop.
//
// The thread runs `run`: by default the runnable given to the constructor; classes
// without a runnable override `run`. Long work checks checkContinue() and returns when
// it answers false. An exception that leaves `run` is logged; then onRunFinished and
// deleteThis run, in that order, on the thread.
//
// With holdReference true (the usual case, for heap objects) the running thread holds
// a counted reference to its object from start() until deleteThis(), so the object
// outlives its owner's references while it runs. With false, the owner must stop the
// thread with stop(true) before it destroys the object.
class CThread : public CBase {
 public:
  explicit CThread(IRunnable* runnable = nullptr, bool holdReference = true);
  ~CThread() override;
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;

  // Starts the thread. Throws zel::CError when it was started before.
  void start();

  // Ends the thread's hold on its object; called last on the thread.
  virtual void deleteThis();
  // Asks the thread to stop; with waitForEnd true also waits until it has ended (not
  // when called on the thread itself).
  virtual void stop(bool waitForEnd);
  // Asks the thread to stop and returns at once.
  virtual void signalStop();
  // False once a stop was asked for.
  virtual bool checkContinue();
  // The thread's work.
  virtual void run();
  // Called on the thread after `run` returned (or threw).
  virtual void onRunFinished();

  // Waits up to timeoutMs (-1: no limit) for a stop request; true when one came. For
  // threads that pause between pieces of work.
  bool waitForStopRequest(int timeoutMs) const { return stopSignal->wait(timeoutMs); }
  // Waits up to timeoutMs (-1: no limit) until `run` and onRunFinished have returned.
  bool waitFinished(int timeoutMs) const { return finishedSignal->wait(timeoutMs); }

 private:
  void threadMain();
  bool isOwnThread() const noexcept {
    return runningThread.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }

  P<IRunnable> runnable;
  const bool holdReference;
  P<CSignal> stopSignal = make<CSignal>();
  P<CSignal> finishedSignal = make<CSignal>();
  std::mutex threadMutex;  // guards thread and started
  std::thread thread;
  bool started = false;
  // The id of the thread, stored by the thread itself before it calls run, so that
  // stop can tell, without threadMutex, that it runs on it. Only equality with the
  // calling thread's own id is asked, so a stale value does no harm.
  std::atomic<std::thread::id> runningThread;
};

}  // namespace zel
