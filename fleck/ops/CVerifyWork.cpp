#include "fleck/ops/CVerifyWork.h"

#include <algorithm>

namespace fleck::ops {

CVerifyWork::CVerifyWork(std::vector<CFleckTree::Entry> list) : files(std::move(list)) {
  for (const CFleckTree::Entry& entry : files)
    totalBytes += entry.size;
}

const CFleckTree::Entry* CVerifyWork::next() {
  const std::size_t at = nextFile.fetch_add(1, std::memory_order_relaxed);
  return at < files.size() ? &files[at] : nullptr;
}

void CVerifyWork::addDamage(Damage found) {
  std::lock_guard<std::mutex> lock(mutex);
  damage.push_back(std::move(found));
}

std::vector<CVerifyWork::Damage> CVerifyWork::takeDamage() {
  std::vector<Damage> result;
  {
    std::lock_guard<std::mutex> lock(mutex);
    result.swap(damage);
  }
  std::sort(result.begin(), result.end(),
            [](const Damage& a, const Damage& b) { return a.index < b.index; });
  return result;
}

}  // namespace fleck::ops
