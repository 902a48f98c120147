#pragma once

#include "s3/CS3Client.h"
#include "s3/CS3FileSystem.h"
#include "zel/CBufferStream.h"

namespace s3 {

// A writable S3 object: the whole object is kept in memory and PUT by flush() and
// close() when something changed since the last PUT (and by the destructor, which only
// logs a failure). Meant for small files (a disk's header and links).
//
// Opening: OpenExisting and OpenOrCreate GET the object (OpenExisting: NotFound when
// missing); CreateNew claims the key at once with an empty conditional PUT
// (AlreadyExists when it exists); CreateOrTruncate and a created OpenOrCreate write
// the object at the first flush or close even when nothing was written. With
// AccessWrite, reads throw CIOError NotSupported; with AccessRead (a created file read
// back), writes do.
//
// Not thread-safe: one caller at a time, as for every stream.
class CS3WriteStream final : public zel::CBufferStream {
 public:
  CS3WriteStream(zel::P<CS3Client> client, CS3FileSystem::Object object, zel::CURI location,
                 int access, int mode);
  ~CS3WriteStream() override;
  CS3WriteStream(const CS3WriteStream&) = delete;
  CS3WriteStream& operator=(const CS3WriteStream&) = delete;

  zel::CURI getURI() override { return location; }
  void close() override;

  void read(void* buffer, int count) override;
  int readLax(void* buffer, int count) override;
  int readAvailable(void* buffer, int count) override;

  void write(const void* buffer, int count, zel::IWriteBarrier* barrier) override;
  void flush() override;
  void setLength(std::int64_t length) override;

 private:
  struct Opened {
    zel::P<zel::TBuffer<unsigned char>> contents;
    bool changed = false;  // to be written even when nothing is
  };

  CS3WriteStream(zel::P<CS3Client> client, CS3FileSystem::Object object, zel::CURI location,
                 int access, Opened opened);
  static Opened openObject(CS3Client& client, const CS3FileSystem::Object& object, int access,
                           int mode);
  void checkReadable() const;
  void checkWritable() const;
  void upload();

  const zel::P<CS3Client> client;
  const CS3FileSystem::Object object;
  const zel::CURI location;
  const int access;
  bool changed;
  bool open = true;
};

}  // namespace s3
