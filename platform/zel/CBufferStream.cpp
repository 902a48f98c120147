#include "zel/CBufferStream.h"

#include <algorithm>
#include <cstring>

#include "zel/CDummyWriteBarrier.h"
#include "zel/CError.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"

namespace zel {

CBufferStream::CBufferStream(P<TBuffer<unsigned char>> buffer, double growthFactor)
    : writable(buffer != nullptr ? std::move(buffer) : make<TBuffer<unsigned char>>()),
      readable(writable),
      growthFactor(std::max(growthFactor, 1.0)) {}

CBufferStream::CBufferStream(const TBuffer<unsigned char>* buffer, ReadOnly)
    : readable(buffer != nullptr ? PC<TBuffer<unsigned char>>(buffer)
                                 : PC<TBuffer<unsigned char>>(make<TBuffer<unsigned char>>())),
      growthFactor(1.0) {}

CBufferStream::~CBufferStream() = default;

void CBufferStream::checkOpen() const {
  if (closed) throw CIOError(CIOError::StreamClosed);
}

void CBufferStream::checkWritable() const {
  checkOpen();
  if (writable == nullptr)
    throw CIOError(CIOError::NotSupported, "The buffer stream is read-only.");
}

std::int64_t CBufferStream::getLength() const {
  checkOpen();
  return static_cast<std::int64_t>(readable->getUsed());
}

std::int64_t CBufferStream::getPosition() const {
  checkOpen();
  return position;
}

void CBufferStream::seek(std::int64_t target) {
  checkOpen();
  if (target < 0 || target > getLength()) {
    throw CIOError(CIOError::InvalidPosition, String(),
                   CProps().add("pos", target).add("size", getLength()));
  }
  position = target;
}

P<IStreamLock> CBufferStream::lockRange(std::int64_t, std::int64_t, LockType) {
  CError cause("Buffer stream does not support lockRange.");
  throw CFileSystemError(CFileSystemError::Unsupported, &cause);
}

void CBufferStream::close() {
  closed = true;
}

void CBufferStream::read(void* buffer, int count) {
  const int got = readLax(buffer, count);
  if (got < count) {
    throw CIOError(CIOError::EndOfStream, String(), CProps().add("wanted", count).add("got", got));
  }
}

int CBufferStream::readLax(void* buffer, int count) {
  checkOpen();
  if (count < 0) {
    throw CInvalidArgError("zel::CBufferStream::read", "negative byte count",
                           CProps().add("count", count));
  }
  if (count == 0) return 0;
  const std::int64_t left = getLength() - position;
  const int n = static_cast<int>(std::min<std::int64_t>(count, std::max<std::int64_t>(left, 0)));
  if (n > 0) std::memcpy(buffer, readable->getData() + position, static_cast<std::size_t>(n));
  position += n;
  return n;
}

int CBufferStream::readAvailable(void* buffer, int count) {
  return readLax(buffer, count);
}

bool CBufferStream::waitReadable(int) const {
  return true;
}

bool CBufferStream::isEndOfStream() const {
  return getPosition() >= getLength();
}

int CBufferStream::isEndOfStream_NonBlocking() const {
  return isEndOfStream() ? 1 : 0;
}

void CBufferStream::write(const void* buffer, int count, IWriteBarrier*) {
  checkWritable();
  if (count < 0) {
    throw CInvalidArgError("zel::CBufferStream::write", "negative byte count",
                           CProps().add("count", count));
  }
  if (count == 0) return;
  const std::size_t end = static_cast<std::size_t>(position) + static_cast<std::size_t>(count);
  if (end > writable->getUsed()) {
    if (end > writable->getCapacity()) {
      const auto grown =
          static_cast<std::size_t>(static_cast<double>(writable->getCapacity()) * growthFactor);
      writable->reserve(std::max(end, grown));
    }
    writable->setUsed(end);
  }
  std::memcpy(writable->getData() + position, buffer, static_cast<std::size_t>(count));
  position = static_cast<std::int64_t>(end);
}

void CBufferStream::writeKeepBuffer(TConstBufferSlice<unsigned char> slice,
                                    IWriteBarrier* barrier) {
  // A memory stream copies: keeping the caller's buffer would not save anything.
  // Checked here too, so that an empty slice is refused like any other write.
  checkWritable();
  std::size_t done = 0;
  while (done < slice.getLength()) {
    const int piece = static_cast<int>(std::min<std::size_t>(slice.getLength() - done, 1 << 30));
    write(slice.getData() + done, piece, barrier);
    done += static_cast<std::size_t>(piece);
  }
}

P<IWriteBarrier> CBufferStream::createWriteBarrier(IWriteBarrier*) {
  checkOpen();
  return make<CDummyWriteBarrier>();
}

void CBufferStream::flush() {
  checkOpen();
}

void CBufferStream::setLength(std::int64_t length) {
  checkWritable();
  if (length < 0) {
    throw CIOError(CIOError::InvalidPosition, String(), CProps().add("size", length));
  }
  const std::size_t old = writable->getUsed();
  writable->setUsed(static_cast<std::size_t>(length));
  // A longer stream reads zeros in the new part, as a file would.
  if (writable->getUsed() > old)
    std::memset(writable->getData() + old, 0, writable->getUsed() - old);
  position = std::min(position, length);
}

}  // namespace zel
