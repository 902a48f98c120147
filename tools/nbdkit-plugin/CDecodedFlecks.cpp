#include "CDecodedFlecks.h"

#include <algorithm>

namespace fleck::nbd {

CDecodedFlecks::CDecodedFlecks(zel::P<CFleckDisk> disk, int threadCount, std::size_t capacity)
    : disk(std::move(disk)),
      fleckSize(this->disk->getFleckSize()),
      diskSize(this->disk->getSize()),
      capacity(std::max<std::size_t>(capacity, 2)) {
  for (int i = 0; i < threadCount; ++i)
    threads.emplace_back([this](std::stop_token stop) { readAheadLoop(stop); });
}

CDecodedFlecks::~CDecodedFlecks() {
  for (std::jthread& thread : threads)
    thread.request_stop();
  {
    const std::lock_guard<std::mutex> lock(mutex);
    changed.notify_all();
  }
  threads.clear();  // joins
}

CDecodedFlecks::Payload CDecodedFlecks::get(std::int64_t index) {
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    const auto it = entries.find(index);
    if (it == entries.end()) return decode(lock, index);
    if (it->second.data != nullptr) {
      it->second.lastUse = ++useClock;
      return it->second.data;
    }
    // Another request decodes it; if that fails, the entry goes and this one tries.
    changed.wait(lock);
  }
}

bool CDecodedFlecks::has(std::int64_t index) {
  const std::lock_guard<std::mutex> lock(mutex);
  return entries.count(index) != 0;
}

bool CDecodedFlecks::readAhead(std::int64_t index) {
  const std::lock_guard<std::mutex> lock(mutex);
  if (entries.count(index) != 0 || queue.size() >= capacity / 2 ||
      std::find(queue.begin(), queue.end(), index) != queue.end()) {
    return false;
  }
  queue.push_back(index);
  changed.notify_all();
  return true;
}

void CDecodedFlecks::clear() {
  std::unique_lock<std::mutex> lock(mutex);
  queue.clear();
  // A read-ahead decode under way would keep a payload read before the change.
  changed.wait(lock, [this] { return decoding == 0; });
  entries.clear();
  idle.clear();
}

CDecodedFlecks::Payload CDecodedFlecks::decode(std::unique_lock<std::mutex>& lock,
                                               std::int64_t index) {
  entries[index] = Entry{};
  ++decoding;
  zel::P<CFleck> fleck = takeIdle();
  lock.unlock();
  Payload data;
  std::exception_ptr failure;
  try {
    if (fleck == nullptr) fleck = disk->newStandAloneFleckObject();
    auto bytes = std::make_shared<std::vector<unsigned char>>(static_cast<std::size_t>(fleckSize));
    fleck->seek(index, 0);
    bytes->resize(static_cast<std::size_t>(
        fleck->readLaxInsideFleck(bytes->data(), static_cast<int>(fleckSize))));
    data = std::move(bytes);
  } catch (...) {
    failure = std::current_exception();
  }
  lock.lock();
  --decoding;
  giveBack(fleck, failure != nullptr);
  if (failure != nullptr) {
    entries.erase(index);
    changed.notify_all();
    std::rethrow_exception(failure);
  }
  Entry& entry = entries[index];
  entry.data = data;
  entry.lastUse = ++useClock;
  evict();
  changed.notify_all();
  return data;
}

zel::P<CFleck> CDecodedFlecks::takeIdle() {
  if (idle.empty()) return nullptr;
  zel::P<CFleck> fleck = idle.back();
  idle.pop_back();
  return fleck;
}

void CDecodedFlecks::giveBack(const zel::P<CFleck>& fleck, bool failed) {
  // A fleck object whose load failed may hold a half state: it is not used again.
  if (fleck != nullptr && !failed) idle.push_back(fleck);
}

void CDecodedFlecks::evict() {
  while (entries.size() > capacity) {
    auto oldest = entries.end();
    for (auto it = entries.begin(); it != entries.end(); ++it) {
      if (it->second.data != nullptr &&
          (oldest == entries.end() || it->second.lastUse < oldest->second.lastUse)) {
        oldest = it;
      }
    }
    if (oldest == entries.end()) return;  // all being decoded
    entries.erase(oldest);
  }
}

void CDecodedFlecks::readAheadLoop(std::stop_token stop) {
  std::unique_lock<std::mutex> lock(mutex);
  while (!stop.stop_requested()) {
    if (queue.empty()) {
      changed.wait(lock);
      continue;
    }
    // A run of queued flecks that follow each other is decoded as one batch, so that
    // their digests run side by side.
    const std::int64_t first = queue.front();
    queue.pop_front();
    if (entries.count(first) != 0) continue;
    std::int64_t count = 1;
    while (count < kReadAheadBatch && !queue.empty() && queue.front() == first + count &&
           entries.count(first + count) == 0) {
      queue.pop_front();
      ++count;
    }
    decodeRun(lock, first, count);
  }
}

void CDecodedFlecks::decodeRun(std::unique_lock<std::mutex>& lock, std::int64_t first,
                               std::int64_t count) {
  for (std::int64_t i = 0; i < count; ++i)
    entries[first + i] = Entry{};
  ++decoding;
  zel::P<CFleck> fleck = takeIdle();
  lock.unlock();
  std::vector<std::shared_ptr<zel::TBuffer<unsigned char>>> decoded;
  bool failed = false;
  try {
    if (fleck == nullptr) fleck = disk->newStandAloneFleckObject();
    std::vector<zel::TBuffer<unsigned char>*> pointers;
    for (std::int64_t i = 0; i < count; ++i) {
      decoded.push_back(std::make_shared<zel::TBuffer<unsigned char>>());
      pointers.push_back(decoded.back().get());
    }
    fleck->readFlecks(first, static_cast<std::size_t>(count), pointers.data());
  } catch (...) {
    // The requests that need these flecks decode them again and report the failure.
    failed = true;
  }
  lock.lock();
  --decoding;
  giveBack(fleck, failed);
  for (std::int64_t i = 0; i < count; ++i) {
    if (failed) {
      entries.erase(first + i);
      continue;
    }
    // A payload is the fleck's bytes up to the disk's end.
    const zel::TBuffer<unsigned char>& bytes = *decoded[static_cast<std::size_t>(i)];
    const std::int64_t length = std::min<std::int64_t>(static_cast<std::int64_t>(bytes.getUsed()),
                                                       diskSize - (first + i) * fleckSize);
    Entry& entry = entries[first + i];
    entry.data = std::make_shared<const std::vector<unsigned char>>(
        bytes.getData(), bytes.getData() + std::max<std::int64_t>(length, 0));
    entry.lastUse = ++useClock;
  }
  evict();
  changed.notify_all();
}

}  // namespace fleck::nbd
