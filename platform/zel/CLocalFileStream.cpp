#include "zel/CLocalFileStream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "zel/CDummyWriteBarrier.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CLocalFileSystem.h"
#include "zel/Log.h"

namespace zel {

CLocalFileStream::CLocalFileStream(int fd, CURI uri, std::string path, int access,
                                   bool durable) noexcept
    : fd(fd),
      uri(std::move(uri)),
      path(std::move(path)),
      readable((access & IIOStream::AccessRead) != 0),
      writable((access & IIOStream::AccessWrite) != 0),
      durable(durable) {}

CLocalFileStream::~CLocalFileStream() {
  try {
    close();
  } catch (const std::exception& e) {
    logError(e, "Closing a file failed", String::fromUTF8(path));
  }
}

void CLocalFileStream::throwSystemError(int errorNumber, const char* operation) const {
  throw CLocalFileSystem::makeSystemError(errorNumber, operation, path);
}

void CLocalFileStream::checkOpen() const {
  if (fd < 0)
    throw CIOError(CIOError::StreamClosed, String(), CProps().add("path", String::fromUTF8(path)));
}

void CLocalFileStream::checkReadable() const {
  checkOpen();
  if (!readable) {
    throw CIOError(CIOError::NotSupported, "The file was not opened for reading.",
                   CProps().add("path", String::fromUTF8(path)));
  }
}

void CLocalFileStream::checkWritable() const {
  checkOpen();
  if (!writable) {
    throw CIOError(CIOError::NotSupported, "The file was not opened for writing.",
                   CProps().add("path", String::fromUTF8(path)));
  }
}

std::int64_t CLocalFileStream::getLength() const {
  checkOpen();
  struct stat info;
  if (::fstat(fd, &info) != 0) throwSystemError(errno, "fstat");
  return static_cast<std::int64_t>(info.st_size);
}

std::int64_t CLocalFileStream::getPosition() const {
  checkOpen();
  return position;
}

void CLocalFileStream::seek(std::int64_t target) {
  const std::int64_t length = getLength();
  if (target < 0 || target > length) {
    throw CIOError(
        CIOError::InvalidPosition, String(),
        CProps().add("pos", target).add("size", length).add("path", String::fromUTF8(path)));
  }
  position = target;
}

P<IStreamLock> CLocalFileStream::lockRange(std::int64_t, std::int64_t, LockType) {
  checkOpen();
  const CError cause("Local file streams do not lock byte ranges.", "zel::CLocalFileStream", -1,
                     CProps().add("path", String::fromUTF8(path)));
  throw CFileSystemError(CFileSystemError::Unsupported, cause);
}

void CLocalFileStream::close() {
  if (fd < 0) return;
  const int closing = fd;
  fd = -1;
  // Linux releases the descriptor even when close is interrupted; repeating it could
  // close a descriptor another thread has opened meanwhile.
  if (::close(closing) != 0 && errno != EINTR) throwSystemError(errno, "close");
}

void CLocalFileStream::read(void* buffer, int count) {
  const int got = readLax(buffer, count);
  if (got < count) {
    throw CIOError(
        CIOError::EndOfStream, String(),
        CProps().add("wanted", count).add("got", got).add("path", String::fromUTF8(path)));
  }
}

int CLocalFileStream::readLax(void* buffer, int count) {
  checkReadable();
  if (count < 0) {
    throw CInvalidArgError("zel::CLocalFileStream::read", "negative byte count",
                           CProps().add("count", count));
  }
  auto* out = static_cast<unsigned char*>(buffer);
  int done = 0;
  while (done < count) {
    const ssize_t n = ::pread(fd, out + done, static_cast<std::size_t>(count - done), position);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwSystemError(errno, "read");
    }
    if (n == 0) break;  // end of file
    done += static_cast<int>(n);
    position += n;
  }
  return done;
}

int CLocalFileStream::readAvailable(void* buffer, int count) {
  return readLax(buffer, count);
}

bool CLocalFileStream::waitReadable(int) const {
  checkOpen();
  return true;
}

bool CLocalFileStream::isEndOfStream() const {
  return position >= getLength();
}

int CLocalFileStream::isEndOfStream_NonBlocking() const {
  return isEndOfStream() ? 1 : 0;
}

void CLocalFileStream::write(const void* buffer, int count, IWriteBarrier*) {
  checkWritable();
  if (count < 0) {
    throw CInvalidArgError("zel::CLocalFileStream::write", "negative byte count",
                           CProps().add("count", count));
  }
  const auto* in = static_cast<const unsigned char*>(buffer);
  int done = 0;
  while (done < count) {
    const ssize_t n = ::pwrite(fd, in + done, static_cast<std::size_t>(count - done), position);
    if (n < 0) {
      if (errno == EINTR) continue;
      throwSystemError(errno, "write");
    }
    // A regular file that takes no bytes will not take them on a second try either.
    if (n == 0) throwSystemError(EIO, "write");
    done += static_cast<int>(n);
    position += n;
  }
}

void CLocalFileStream::writeKeepBuffer(TConstBufferSlice<unsigned char> slice,
                                       IWriteBarrier* barrier) {
  // The bytes are in the operating system's hands when write returns; nothing to keep.
  std::size_t done = 0;
  do {
    const int piece = static_cast<int>(std::min<std::size_t>(slice.getLength() - done, 1 << 30));
    write(slice.getData() + done, piece, barrier);
    done += static_cast<std::size_t>(piece);
  } while (done < slice.getLength());
}

P<IWriteBarrier> CLocalFileStream::createWriteBarrier(IWriteBarrier*) {
  checkOpen();
  return make<CDummyWriteBarrier>();
}

void CLocalFileStream::flush() {
  checkOpen();
  if (durable) sync();
}

void CLocalFileStream::sync() {
  checkOpen();
  while (::fsync(fd) != 0) {
    if (errno != EINTR) throwSystemError(errno, "fsync");
  }
}

void CLocalFileStream::setLength(std::int64_t length) {
  checkWritable();
  if (length < 0) {
    throw CIOError(CIOError::InvalidPosition, String(),
                   CProps().add("size", length).add("path", String::fromUTF8(path)));
  }
  while (::ftruncate(fd, length) != 0) {
    if (errno != EINTR) throwSystemError(errno, "ftruncate");
  }
  position = std::min(position, length);
}

}  // namespace zel
