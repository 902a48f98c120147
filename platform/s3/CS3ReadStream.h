#pragma once

#include <cstdint>
#include <vector>

#include "s3/CS3Client.h"
#include "s3/CS3FileSystem.h"
#include "zel/CBase.h"
#include "zel/IIOStream.h"

namespace s3 {

// Reads one S3 object through ranged GETs: the constructor fetches the first window
// (and so finds out whether the object exists and how long it is); reads outside the
// window fetch the window at the reading position. Every writing operation throws
// CIOError NotSupported. The object should not change while it is read: a later window
// may come from a newer version.
//
// Not thread-safe: one caller at a time, as for every stream.
class CS3ReadStream final : public zel::CBase, public virtual zel::IIOStream {
 public:
  // Throws CFileSystemError NotFound when the object does not exist.
  CS3ReadStream(zel::P<CS3Client> client, CS3FileSystem::Object object, zel::CURI location,
                std::int64_t window);
  CS3ReadStream(const CS3ReadStream&) = delete;
  CS3ReadStream& operator=(const CS3ReadStream&) = delete;

  // IStreamBase
  std::int64_t getLength() const override;
  std::int64_t getPosition() const override;
  zel::CURI getURI() override { return location; }
  void seek(std::int64_t position) override;
  zel::P<zel::IStreamLock> lockRange(std::int64_t offset, std::int64_t length,
                                     LockType type) override;
  void close() override { closed = true; }

  // IInStream
  void read(void* buffer, int count) override;
  int readLax(void* buffer, int count) override;
  int readAvailable(void* buffer, int count) override { return readLax(buffer, count); }
  bool waitReadable(int) const override { return true; }
  bool isEndOfStream() const override;
  int isEndOfStream_NonBlocking() const override { return isEndOfStream() ? 1 : 0; }

  // IOutStream: all NotSupported
  void write(const void* buffer, int count, zel::IWriteBarrier* barrier) override;
  void writeKeepBuffer(zel::TConstBufferSlice<unsigned char> slice,
                       zel::IWriteBarrier* barrier) override;
  zel::P<zel::IWriteBarrier> createWriteBarrier(zel::IWriteBarrier* parent) override;
  void flush() override;
  void setLength(std::int64_t length) override;

 private:
  void checkOpen() const;
  [[noreturn]] void refuseWriting() const;
  // Fetches the window that starts at `offset` (< length).
  void fetch(std::int64_t offset);

  const zel::P<CS3Client> client;
  const CS3FileSystem::Object object;
  const zel::CURI location;
  const std::int64_t window;
  std::int64_t length = 0;
  std::int64_t position = 0;
  std::int64_t windowStart = 0;
  std::vector<unsigned char> windowBytes;
  bool closed = false;
};

}  // namespace s3
