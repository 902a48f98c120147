#include "fleck/CFleckDiskStreamWithCache.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "zel/CDummyWriteBarrier.h"
#include "zel/CError.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CProps.h"
#include "zel/Log.h"

namespace fleck {

namespace {

// How many bytes of fleck payloads one stream keeps.
constexpr int kCacheBytes = 32 * 1024 * 1024;
constexpr int kMinCachedFlecks = 10;

CFleckDisk* requireDisk(CFleckDisk* disk) {
  if (disk == nullptr) {
    throw zel::CInvalidArgError("fleck::CFleckDiskStreamWithCache", "The disk must not be null.");
  }
  return disk;
}

}  // namespace

int CFleckDiskStreamWithCache::computeCacheCapacity(int fleckSize) {
  return std::max(kCacheBytes / std::max(fleckSize, 1), kMinCachedFlecks);
}

CFleckDiskStreamWithCache::CFleckDiskStreamWithCache(CFleckDisk* disk)
    : uri(requireDisk(disk)->getDiskFolder()),
      fleckSize(static_cast<int>(disk->getFleckSize())),
      diskSize(disk->getSize()),
      stream(zel::make<CFleckDiskStream>(disk)),
      length(stream->getLength()),
      pool(zel::make<zel::CMemPool>(computeCacheCapacity(fleckSize),
                                    static_cast<std::size_t>(fleckSize), zel::CMemPool::FlagLazy)),
      cache(zel::make<Cache>(computeCacheCapacity(fleckSize), true)) {}

CFleckDiskStreamWithCache::~CFleckDiskStreamWithCache() {
  if (stream != nullptr) {
    try {
      stream->close();
    } catch (const std::exception& e) {
      zel::onExceptionInDestructorIgnored("fleck::CFleckDiskStreamWithCache", e, true);
    }
  }
  cache = nullptr;
  pool = nullptr;
  stream = nullptr;
}

void CFleckDiskStreamWithCache::checkOpen() const {
  if (stream == nullptr) throw zel::CIOError(zel::CIOError::StreamClosed);
}

void CFleckDiskStreamWithCache::throwEndOfStream() const {
  throw zel::CIOError(zel::CIOError::EndOfStream, zel::String(),
                      zel::CProps().add("uri", uri.toString(true)));
}

std::int64_t CFleckDiskStreamWithCache::getLength() const {
  checkOpen();
  return length;
}

std::int64_t CFleckDiskStreamWithCache::getPosition() const {
  checkOpen();
  return position;
}

zel::CURI CFleckDiskStreamWithCache::getURI() {
  return uri;
}

void CFleckDiskStreamWithCache::seek(std::int64_t target) {
  checkOpen();
  if (target < 0 || target > length) throw zel::CIOError(zel::CIOError::InvalidPosition);
  position = target;
}

zel::P<zel::IStreamLock> CFleckDiskStreamWithCache::lockRange(std::int64_t, std::int64_t,
                                                              LockType) {
  const zel::CError cause("Fleck disk stream does not support lockRange.");
  throw zel::CFileSystemError(zel::CFileSystemError::Unsupported, cause);
}

void CFleckDiskStreamWithCache::close() {
  if (stream == nullptr) return;
  stream->close();
  stream = nullptr;
}

zel::TBuffer<unsigned char>* CFleckDiskStreamWithCache::loadFleck(std::int64_t index) {
  zel::P<zel::CMemPoolBuffer> buffer = pool->checkOutItem();
  buffer->setUsed(static_cast<std::size_t>(fleckSize));
  const std::int64_t start = index * fleckSize;
  // Stop at the disk's end: a length set beyond it must not make the load of the last
  // fleck fail for the bytes the disk does have.
  const int wanted = static_cast<int>(std::clamp<std::int64_t>(diskSize - start, 0, fleckSize));
  int got = 0;
  if (wanted > 0) {
    stream->seek(start);
    got = stream->readLax(buffer->getData(), wanted);
  }
  buffer->setUsed(static_cast<std::size_t>(got));
  cache->insert(index, buffer);
  ++fleckLoadCount;
  lastIndex = index;
  lastPayload = buffer.get();
  return lastPayload;
}

zel::TBuffer<unsigned char>* CFleckDiskStreamWithCache::findFleck(std::int64_t index) {
  // The entry used last is the most recent already: no need to look it up again, which
  // keeps small sequential transfers cheap.
  if (index == lastIndex) return lastPayload;
  zel::P<zel::TBuffer<unsigned char>>* hit = cache->lookup(index);
  if (hit == nullptr) return nullptr;
  lastIndex = index;
  lastPayload = hit->get();
  return lastPayload;
}

void CFleckDiskStreamWithCache::forgetFlecks() noexcept {
  lastIndex = -1;
  lastPayload = nullptr;
}

void CFleckDiskStreamWithCache::read(void* buffer, int count) {
  checkOpen();
  auto* out = static_cast<unsigned char*>(buffer);
  while (count >= 1) {
    if (position >= length) throwEndOfStream();
    const std::int64_t index = position / fleckSize;
    const int offset = static_cast<int>(position % fleckSize);
    zel::TBuffer<unsigned char>* payload = findFleck(index);
    if (payload == nullptr) payload = loadFleck(index);
    // A payload shorter than the piece ends at the disk's end.
    const std::int64_t inPayload = static_cast<std::int64_t>(payload->getUsed()) - offset;
    if (inPayload <= 0) throwEndOfStream();
    const int n =
        static_cast<int>(std::min({static_cast<std::int64_t>(std::min(count, fleckSize - offset)),
                                   length - position, inPayload}));
    std::memcpy(out, payload->getData() + offset, static_cast<std::size_t>(n));
    out += n;
    count -= n;
    position += n;
  }
}

int CFleckDiskStreamWithCache::readLax(void* buffer, int count) {
  checkOpen();
  const int n =
      static_cast<int>(std::clamp<std::int64_t>(length - position, 0, std::max(count, 0)));
  read(buffer, n);
  return n;
}

int CFleckDiskStreamWithCache::readAvailable(void* buffer, int count) {
  return readLax(buffer, count);
}

bool CFleckDiskStreamWithCache::waitReadable(int) const {
  checkOpen();
  return true;
}

bool CFleckDiskStreamWithCache::isEndOfStream() const {
  checkOpen();
  return position >= length;
}

int CFleckDiskStreamWithCache::isEndOfStream_NonBlocking() const {
  return isEndOfStream() ? 1 : 0;
}

void CFleckDiskStreamWithCache::write(const void* buffer, int count, zel::IWriteBarrier*) {
  checkOpen();
  // Like the disk, refuse a write that would pass its end before writing any piece.
  if (count >= 1 && position + count > diskSize) throwEndOfStream();
  const auto* in = static_cast<const unsigned char*>(buffer);
  while (count >= 1) {
    const std::int64_t index = position / fleckSize;
    const int offset = static_cast<int>(position % fleckSize);
    const int n = std::min(count, fleckSize - offset);
    zel::TBuffer<unsigned char>* cached = findFleck(index);
    if (cached != nullptr) {
      // The cached payload covers every byte before the length, so it reaches at least
      // to `offset`: growing it leaves no gap.
      if (cached->getUsed() < static_cast<std::size_t>(offset + n)) {
        cached->setUsed(static_cast<std::size_t>(offset + n));
      }
      std::memcpy(cached->getData() + offset, in, static_cast<std::size_t>(n));
    }
    try {
      stream->seek(position);
      stream->write(in, n, nullptr);
    } catch (...) {
      // The disk did not take the bytes (it checks before it writes); the cached copy
      // must not keep them.
      if (cached != nullptr) {
        forgetFlecks();
        cache->remove(index);
      }
      throw;
    }
    in += n;
    count -= n;
    position += n;
    length = std::max(length, position);
    // Loaded after the write, so the cached copy holds the new bytes.
    if (cached == nullptr) loadFleck(index);
  }
}

void CFleckDiskStreamWithCache::writeKeepBuffer(zel::TConstBufferSlice<unsigned char> slice,
                                                zel::IWriteBarrier* barrier) {
  checkOpen();
  write(slice.getData(), static_cast<int>(slice.getLength()), barrier);
}

zel::P<zel::IWriteBarrier> CFleckDiskStreamWithCache::createWriteBarrier(zel::IWriteBarrier*) {
  checkOpen();
  flush();
  return zel::make<zel::CDummyWriteBarrier>();
}

void CFleckDiskStreamWithCache::flush() {
  checkOpen();
  stream->flush();
}

void CFleckDiskStreamWithCache::setLength(std::int64_t) {
  checkOpen();
  throw zel::CIOError(zel::CIOError::NotSupported);
}

void CFleckDiskStreamWithCache::setVirtualLength(std::int64_t newLength) {
  checkOpen();
  if (getPosition() > newLength) seek(newLength);
  const bool grows = newLength > length;
  length = newLength;
  stream->setVirtualLength(newLength);
  if (grows) {
    // A payload loaded while the length ended inside its fleck lacks the bytes now
    // inside the length. Payloads cut short by the disk's end go too; they are cheap to
    // load again.
    const auto full = static_cast<std::size_t>(fleckSize);
    forgetFlecks();
    cache->removeIf([full](std::int64_t, const zel::P<zel::TBuffer<unsigned char>>& payload) {
      return payload->getUsed() < full;
    });
  }
}

}  // namespace fleck
