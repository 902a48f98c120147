#include "zel/CThread.h"

#include "zel/CError.h"
#include "zel/Log.h"

namespace zel {

CThread::CThread(IRunnable* runnable, bool holdReference)
    : runnable(runnable), holdReference(holdReference) {}

CThread::~CThread() {
  stopSignal->set();
  std::lock_guard<std::mutex> lock(threadMutex);
  if (thread.joinable()) {
    // The last reference may be dropped by the thread itself (in deleteThis); it
    // cannot wait for itself, and it has nothing left to do.
    if (thread.get_id() == std::this_thread::get_id())
      thread.detach();
    else
      thread.join();
  }
}

void CThread::start() {
  std::lock_guard<std::mutex> lock(threadMutex);
  if (started) throw CError("INTERNAL ERROR: CThread::start called twice");
  started = true;
  if (holdReference) addRef();
  try {
    thread = std::thread(&CThread::threadMain, this);
  } catch (...) {
    started = false;
    if (holdReference) release();
    throw;
  }
}

void CThread::threadMain() {
  runningThread.store(std::this_thread::get_id(), std::memory_order_relaxed);
  // Exceptions of every type are caught: one that left the thread function would end
  // the process.
  try {
    run();
  } catch (const std::exception& e) {
    logError(e, "Unhandled exception in thread", String());
  } catch (...) {
    logError(CError("not a std::exception"), "Unhandled exception in thread", String());
  }
  try {
    onRunFinished();
  } catch (const std::exception& e) {
    logError(e, "Unhandled exception in CThread::onRunFinished", String());
  } catch (...) {
    logError(CError("not a std::exception"), "Unhandled exception in CThread::onRunFinished",
             String());
  }
  finishedSignal->set();
  deleteThis();
}

void CThread::deleteThis() {
  if (holdReference) release();
}

void CThread::stop(bool waitForEnd) {
  signalStop();
  // On the thread itself there is nothing to wait for, and threadMutex must not be
  // taken: the owner may hold it while it joins this very thread.
  if (!waitForEnd || isOwnThread()) return;
  std::lock_guard<std::mutex> lock(threadMutex);
  if (thread.joinable()) thread.join();
}

void CThread::signalStop() {
  stopSignal->set();
}

bool CThread::checkContinue() {
  return !stopSignal->isSet();
}

void CThread::run() {
  if (runnable != nullptr) runnable->run();
}

void CThread::onRunFinished() {}

}  // namespace zel
