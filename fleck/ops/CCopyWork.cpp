#include "fleck/ops/CCopyWork.h"

#include <algorithm>

namespace fleck::ops {

CCopyWork::CCopyWork(std::vector<CCopyPlan::File> files, std::vector<zel::CURI> stale)
    : files(std::move(files)), stale(std::move(stale)) {}

const CCopyPlan::File* CCopyWork::nextFile() {
  const std::size_t at = nextFileAt.fetch_add(1, std::memory_order_relaxed);
  return at < files.size() ? &files[at] : nullptr;
}

const zel::CURI* CCopyWork::nextStale() {
  const std::size_t at = nextStaleAt.fetch_add(1, std::memory_order_relaxed);
  return at < stale.size() ? &stale[at] : nullptr;
}

void CCopyWork::addFailure(std::string failure) {
  std::lock_guard<std::mutex> lock(mutex);
  failures.push_back(std::move(failure));
}

std::vector<std::string> CCopyWork::takeFailures() {
  std::vector<std::string> result;
  {
    std::lock_guard<std::mutex> lock(mutex);
    result.swap(failures);
  }
  std::sort(result.begin(), result.end());
  return result;
}

}  // namespace fleck::ops
