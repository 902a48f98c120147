#include "zel/CMemoryFileStream.h"

#include <algorithm>
#include <cstring>

#include "zel/CDummyWriteBarrier.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"

namespace zel {

CMemoryFileStream::CMemoryFileStream(std::shared_ptr<CMemoryFileSystem::Storage> storage,
                                     std::shared_ptr<CMemoryFileSystem::Node> node, CURI uri,
                                     int access, bool durable, std::uint64_t era) noexcept
    : storage(std::move(storage)),
      node(std::move(node)),
      uri(std::move(uri)),
      readable((access & IIOStream::AccessRead) != 0),
      writable((access & IIOStream::AccessWrite) != 0),
      durable(durable),
      era(era) {}

void CMemoryFileStream::check(bool forRead, bool forWrite) const {
  const CProps props = CProps().add("path", uri.toString(false));
  if (closed) throw CIOError(CIOError::StreamClosed, String(), props);
  CMemoryFileSystem::checkPower(*storage, era);
  if (forRead && !readable) {
    throw CIOError(CIOError::NotSupported, "The file was not opened for reading.", props);
  }
  if (forWrite && !writable) {
    throw CIOError(CIOError::NotSupported, "The file was not opened for writing.", props);
  }
}

std::int64_t CMemoryFileStream::getLength() const {
  std::lock_guard<std::mutex> lock(storage->mutex);
  check(false, false);
  return static_cast<std::int64_t>(node->data.size());
}

std::int64_t CMemoryFileStream::getPosition() const {
  std::lock_guard<std::mutex> lock(storage->mutex);
  check(false, false);
  return position;
}

void CMemoryFileStream::seek(std::int64_t target) {
  const std::int64_t length = getLength();
  if (target < 0 || target > length) {
    throw CIOError(
        CIOError::InvalidPosition, String(),
        CProps().add("pos", target).add("size", length).add("path", uri.toString(false)));
  }
  position = target;
}

P<IStreamLock> CMemoryFileStream::lockRange(std::int64_t, std::int64_t, LockType) {
  {
    std::lock_guard<std::mutex> lock(storage->mutex);
    check(false, false);
  }
  const CError cause("Memory file streams do not lock byte ranges.", "zel::CMemoryFileStream", -1,
                     CProps().add("path", uri.toString(false)));
  throw CFileSystemError(CFileSystemError::Unsupported, cause);
}

void CMemoryFileStream::close() {
  closed = true;
}

void CMemoryFileStream::read(void* buffer, int count) {
  const int got = readLax(buffer, count);
  if (got < count) {
    throw CIOError(CIOError::EndOfStream, String(),
                   CProps().add("wanted", count).add("got", got).add("path", uri.toString(false)));
  }
}

int CMemoryFileStream::readLax(void* buffer, int count) {
  if (count < 0) {
    throw CInvalidArgError("zel::CMemoryFileStream::read", "negative byte count",
                           CProps().add("count", count));
  }
  std::lock_guard<std::mutex> lock(storage->mutex);
  check(true, false);
  const auto size = static_cast<std::int64_t>(node->data.size());
  const int got = static_cast<int>(std::clamp<std::int64_t>(size - position, 0, count));
  if (got > 0) {
    std::memcpy(buffer, node->data.data() + position, static_cast<std::size_t>(got));
    position += got;
  }
  return got;
}

int CMemoryFileStream::readAvailable(void* buffer, int count) {
  return readLax(buffer, count);
}

bool CMemoryFileStream::waitReadable(int) const {
  std::lock_guard<std::mutex> lock(storage->mutex);
  check(false, false);
  return true;
}

bool CMemoryFileStream::isEndOfStream() const {
  return position >= getLength();
}

int CMemoryFileStream::isEndOfStream_NonBlocking() const {
  return isEndOfStream() ? 1 : 0;
}

void CMemoryFileStream::write(const void* buffer, int count, IWriteBarrier*) {
  if (count < 0) {
    throw CInvalidArgError("zel::CMemoryFileStream::write", "negative byte count",
                           CProps().add("count", count));
  }
  std::lock_guard<std::mutex> lock(storage->mutex);
  check(false, true);
  CMemoryFileSystem::beginChange(*storage);
  const auto end = static_cast<std::size_t>(position + count);
  // Past the end of a file another stream cut, the gap reads as zeros (as pwrite).
  if (node->data.size() < end) node->data.resize(end, 0);
  if (count > 0) std::memcpy(node->data.data() + position, buffer, static_cast<std::size_t>(count));
  position += count;
}

void CMemoryFileStream::writeKeepBuffer(TConstBufferSlice<unsigned char> slice,
                                        IWriteBarrier* barrier) {
  // Copied at once: nothing to keep.
  std::size_t done = 0;
  do {
    const int piece = static_cast<int>(std::min<std::size_t>(slice.getLength() - done, 1 << 30));
    write(slice.getData() + done, piece, barrier);
    done += static_cast<std::size_t>(piece);
  } while (done < slice.getLength());
}

P<IWriteBarrier> CMemoryFileStream::createWriteBarrier(IWriteBarrier*) {
  std::lock_guard<std::mutex> lock(storage->mutex);
  check(false, false);
  return make<CDummyWriteBarrier>();
}

void CMemoryFileStream::flush() {
  if (durable) {
    sync();
    return;
  }
  std::lock_guard<std::mutex> lock(storage->mutex);
  check(false, false);
}

void CMemoryFileStream::sync() {
  std::lock_guard<std::mutex> lock(storage->mutex);
  check(false, false);
  CMemoryFileSystem::beginChange(*storage);
  node->durableData = node->data;
}

void CMemoryFileStream::setLength(std::int64_t length) {
  std::lock_guard<std::mutex> lock(storage->mutex);
  check(false, true);
  if (length < 0) {
    throw CIOError(CIOError::InvalidPosition, String(),
                   CProps().add("size", length).add("path", uri.toString(false)));
  }
  CMemoryFileSystem::beginChange(*storage);
  node->data.resize(static_cast<std::size_t>(length), 0);
  position = std::min(position, length);
}

}  // namespace zel
