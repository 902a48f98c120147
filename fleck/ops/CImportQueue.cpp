#include "fleck/ops/CImportQueue.h"

namespace fleck::ops {

void CImportQueue::push(Job job) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    jobs.push_back(std::move(job));
  }
  changed.notify_all();
}

bool CImportQueue::popSome(std::vector<Job>& into, std::size_t most) {
  into.clear();
  std::unique_lock<std::mutex> lock(mutex);
  changed.wait(lock, [&] { return aborted || closed || !jobs.empty(); });
  if (aborted) return false;
  while (!jobs.empty() && into.size() < most) {
    into.push_back(std::move(jobs.front()));
    jobs.pop_front();
  }
  return !into.empty();
}

void CImportQueue::deliver(Result result) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    const std::int64_t index = result.index;
    results[index] = std::move(result);
  }
  changed.notify_all();
}

bool CImportQueue::take(std::int64_t index, Result& result) {
  std::unique_lock<std::mutex> lock(mutex);
  changed.wait(lock, [&] { return aborted || results.count(index) != 0; });
  if (aborted) return false;
  auto found = results.find(index);
  result = std::move(found->second);
  results.erase(found);
  return true;
}

void CImportQueue::close() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    closed = true;
  }
  changed.notify_all();
}

void CImportQueue::abort() {
  std::deque<Job> dropped;
  std::map<std::int64_t, Result> droppedResults;
  {
    std::lock_guard<std::mutex> lock(mutex);
    aborted = true;
    dropped.swap(jobs);
    droppedResults.swap(results);
  }
  // The buffers go back to their pools outside the lock.
  changed.notify_all();
}

}  // namespace fleck::ops
