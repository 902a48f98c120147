#include "fleck/CFleckDiskStream.h"

#include <algorithm>
#include <exception>

#include "zel/CDummyWriteBarrier.h"
#include "zel/CError.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/Log.h"

namespace fleck {

namespace {

CFleckDisk* requireDisk(CFleckDisk* disk) {
  if (disk == nullptr) {
    throw zel::CInvalidArgError("fleck::CFleckDiskStream", "The disk must not be null.");
  }
  return disk;
}

}  // namespace

CFleckDiskStream::CFleckDiskStream(CFleckDisk* disk)
    : disk(requireDisk(disk)), uri(disk->getDiskFolder()), virtualLength(disk->getSize()) {}

CFleckDiskStream::CFleckDiskStream(const CFleckDiskStream& other)
    : CBase(other), disk(other.disk), uri(other.uri), virtualLength(other.virtualLength) {}

CFleckDiskStream& CFleckDiskStream::operator=(const CFleckDiskStream& other) {
  disk = other.disk;
  uri = other.uri;
  virtualLength = other.virtualLength;
  return *this;
}

CFleckDiskStream::~CFleckDiskStream() {
  try {
    // The last reference ends the disk, which saves its changes; it reports its own
    // failures, but nothing may leave a destructor.
    disk = nullptr;
  } catch (const std::exception& e) {
    zel::onExceptionInDestructorIgnored("fleck::CFleckDiskStream", e, true);
  }
}

void CFleckDiskStream::checkOpen() const {
  if (disk == nullptr) throw zel::CIOError(zel::CIOError::StreamClosed);
}

std::int64_t CFleckDiskStream::getLength() const {
  checkOpen();
  return virtualLength;
}

std::int64_t CFleckDiskStream::getPosition() const {
  checkOpen();
  return disk->getPosition();
}

zel::CURI CFleckDiskStream::getURI() {
  return uri;
}

void CFleckDiskStream::seek(std::int64_t position) {
  checkOpen();
  if (position < 0 || position > virtualLength) throw zel::CIOError(zel::CIOError::InvalidPosition);
  disk->seek(position);
}

zel::P<zel::IStreamLock> CFleckDiskStream::lockRange(std::int64_t, std::int64_t, LockType) {
  const zel::CError cause("Fleck disk stream does not support lockRange.");
  throw zel::CFileSystemError(zel::CFileSystemError::Unsupported, cause);
}

void CFleckDiskStream::close() {
  disk = nullptr;
}

void CFleckDiskStream::read(void* buffer, int count) {
  checkOpen();
  disk->read(buffer, count);
}

int CFleckDiskStream::readLax(void* buffer, int count) {
  checkOpen();
  // Beyond the virtual length (another user of the disk seeked there) the difference
  // is negative: nothing to read.
  const std::int64_t left = getLength() - getPosition();
  const int n = static_cast<int>(std::clamp<std::int64_t>(left, 0, std::max(count, 0)));
  if (n > 0) read(buffer, n);
  return n;
}

int CFleckDiskStream::readAvailable(void* buffer, int count) {
  return readLax(buffer, count);
}

bool CFleckDiskStream::waitReadable(int) const {
  checkOpen();
  return true;
}

bool CFleckDiskStream::isEndOfStream() const {
  checkOpen();
  return getPosition() >= getLength();
}

int CFleckDiskStream::isEndOfStream_NonBlocking() const {
  return isEndOfStream() ? 1 : 0;
}

void CFleckDiskStream::write(const void* buffer, int count, zel::IWriteBarrier*) {
  checkOpen();
  disk->write(buffer, count);
  virtualLength = std::max(virtualLength, disk->getPosition());
}

void CFleckDiskStream::writeKeepBuffer(zel::TConstBufferSlice<unsigned char> slice,
                                       zel::IWriteBarrier* barrier) {
  checkOpen();
  write(slice.getData(), static_cast<int>(slice.getLength()), barrier);
}

zel::P<zel::IWriteBarrier> CFleckDiskStream::createWriteBarrier(zel::IWriteBarrier*) {
  checkOpen();
  flush();
  return zel::make<zel::CDummyWriteBarrier>();
}

void CFleckDiskStream::flush() {
  checkOpen();
  disk->flushChanges();
}

void CFleckDiskStream::setLength(std::int64_t) {
  checkOpen();
  throw zel::CIOError(zel::CIOError::NotSupported);
}

void CFleckDiskStream::setVirtualLength(std::int64_t length) {
  checkOpen();
  if (getPosition() > length) seek(length);
  virtualLength = length;
}

}  // namespace fleck
