#include "CSequentialReader.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "zel/Log.h"

namespace fleck::nbd {

CSequentialReader::CSequentialReader(CFleckDisk* disk, int threads, std::int64_t firstIndex)
    : stream(zel::make<CFleckDiskStreamWithParallelReadAhead>(disk, threads)),
      fleckSize(disk->getFleckSize()),
      diskSize(disk->getSize()),
      nextIndex(firstIndex),
      // Room for the requests a client keeps in flight (tens of 256 KiB requests) on
      // both sides of the one being answered: 32 MiB of flecks.
      windowFlecks(static_cast<std::size_t>(std::max<std::int64_t>(
          2 * threads + 8, (32 * 1024 * 1024) / std::max<std::int64_t>(fleckSize, 1)))) {
  stream->seek(std::min(firstIndex * fleckSize, diskSize));
}

CSequentialReader::~CSequentialReader() {
  try {
    stream->close();
  } catch (const std::exception& e) {
    zel::onExceptionInDestructorIgnored("fleck::nbd::CSequentialReader", e, true);
  }
}

bool CSequentialReader::read(std::int64_t index, int offsetInFleck, void* buffer, int count) {
  auto found = window.find(index);
  if (found == window.end()) {
    if (index < nextIndex || index >= nextIndex + static_cast<std::int64_t>(windowFlecks)) {
      return false;
    }
    while (nextIndex <= index) {
      const std::int64_t start = nextIndex * fleckSize;
      const auto length = static_cast<std::size_t>(std::min(fleckSize, diskSize - start));
      zel::P<zel::TBuffer<unsigned char>> payload = spare;
      spare = nullptr;
      if (payload == nullptr) payload = zel::make<zel::TBuffer<unsigned char>>(length);
      payload->setUsed(length);
      stream->read(payload->getData(), static_cast<int>(length));
      found = window.emplace(nextIndex, payload).first;
      ++nextIndex;
      // The oldest flecks go first: a client reading in order does not come back.
      while (window.size() > windowFlecks) {
        spare = window.begin()->second;
        window.erase(window.begin());
      }
    }
    found = window.find(index);
  }
  const zel::TBuffer<unsigned char>& payload = *found->second;
  if (static_cast<std::size_t>(offsetInFleck) + static_cast<std::size_t>(count) >
      payload.getUsed()) {
    return false;
  }
  std::memcpy(buffer, payload.getData() + offsetInFleck, static_cast<std::size_t>(count));
  return true;
}

}  // namespace fleck::nbd
