#include "s3/CS3WriteStream.h"

#include <memory>

#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"
#include "zel/Log.h"

namespace s3 {

namespace {

constexpr const char* kSource = "s3::CS3WriteStream";

zel::P<zel::TBuffer<unsigned char>> loadObject(CS3Client& client,
                                               const CS3FileSystem::Object& object, bool& found) {
  CS3Response response = client.perform(CS3FileSystem::makeRequest("GET", object));
  found = response.status != 404;
  if (!found) return zel::make<zel::TBuffer<unsigned char>>();
  if (!response.isSuccess()) throw CS3FileSystem::makeError(response, "GET", object);
  return zel::make<zel::TBuffer<unsigned char>>(response.body.data(), response.body.size());
}

}  // namespace

CS3WriteStream::Opened CS3WriteStream::openObject(CS3Client& client,
                                                  const CS3FileSystem::Object& object, int access,
                                                  int mode) {
  if (access != zel::IIOStream::AccessRead && access != zel::IIOStream::AccessWrite &&
      access != zel::IIOStream::AccessReadWrite) {
    throw zel::CInvalidArgError(kSource, "unknown access", zel::CProps().add("access", access));
  }
  bool found = false;
  switch (mode) {
    case zel::IFileSystem::OpenExisting: {
      zel::P<zel::TBuffer<unsigned char>> contents = loadObject(client, object, found);
      if (!found) {
        CS3Response missing;
        missing.status = 404;
        throw CS3FileSystem::makeError(missing, "GET", object);
      }
      return Opened{contents, false};
    }
    case zel::IFileSystem::OpenOrCreate: {
      zel::P<zel::TBuffer<unsigned char>> contents = loadObject(client, object, found);
      return Opened{contents, !found};
    }
    case zel::IFileSystem::CreateNew: {
      CS3Request request = CS3FileSystem::makeRequest("PUT", object);
      request.headers.emplace("if-none-match", CS3FileSystem::kAnyETag);
      CS3Response response = client.perform(std::move(request));
      if (!response.isSuccess()) throw CS3FileSystem::makeError(response, "PUT", object);
      return Opened{zel::make<zel::TBuffer<unsigned char>>(), false};
    }
    case zel::IFileSystem::CreateOrTruncate:
      return Opened{zel::make<zel::TBuffer<unsigned char>>(), true};
    default:
      throw zel::CInvalidArgError(kSource, "unknown open mode", zel::CProps().add("mode", mode));
  }
}

CS3WriteStream::CS3WriteStream(zel::P<CS3Client> client, CS3FileSystem::Object object,
                               zel::CURI location, int access, int mode)
    : CS3WriteStream(client, object, std::move(location), access,
                     openObject(*client, object, access, mode)) {}

CS3WriteStream::CS3WriteStream(zel::P<CS3Client> client, CS3FileSystem::Object object,
                               zel::CURI location, int access, Opened opened)
    : zel::CBufferStream(std::move(opened.contents)),
      client(std::move(client)),
      object(std::move(object)),
      location(std::move(location)),
      access(access),
      changed(opened.changed) {}

CS3WriteStream::~CS3WriteStream() {
  try {
    close();
  } catch (const std::exception& e) {
    zel::onExceptionInDestructorIgnored(kSource, e, true);
  }
}

void CS3WriteStream::upload() {
  if (!changed) return;
  const zel::P<zel::TBuffer<unsigned char>> contents = getBuffer();
  CS3Request request = CS3FileSystem::makeRequest("PUT", object);
  request.body = std::make_shared<const std::vector<unsigned char>>(
      contents->getData(), contents->getData() + contents->getUsed());
  CS3Response response = client->perform(std::move(request));
  if (!response.isSuccess()) throw CS3FileSystem::makeError(response, "PUT", object);
  changed = false;
}

void CS3WriteStream::close() {
  if (!open) return;
  // Closed even when the upload fails: the caller learns of the failure once.
  open = false;
  struct CloseBase {
    CS3WriteStream& self;
    ~CloseBase() { self.CBufferStream::close(); }
  } closeBase{*this};
  upload();
}

void CS3WriteStream::checkReadable() const {
  if (access == zel::IIOStream::AccessWrite) {
    getPosition();  // StreamClosed first
    throw zel::CIOError(zel::CIOError::NotSupported, "The S3 stream is open for writing only.",
                        zel::CProps().add("uri", location.toString(true)));
  }
}

void CS3WriteStream::read(void* buffer, int count) {
  checkReadable();
  zel::CBufferStream::read(buffer, count);
}

int CS3WriteStream::readLax(void* buffer, int count) {
  checkReadable();
  return zel::CBufferStream::readLax(buffer, count);
}

int CS3WriteStream::readAvailable(void* buffer, int count) {
  checkReadable();
  return zel::CBufferStream::readAvailable(buffer, count);
}

void CS3WriteStream::checkWritable() const {
  if (access == zel::IIOStream::AccessRead) {
    getPosition();  // StreamClosed first
    throw zel::CIOError(zel::CIOError::NotSupported, "The S3 stream is open for reading only.",
                        zel::CProps().add("uri", location.toString(true)));
  }
}

void CS3WriteStream::write(const void* buffer, int count, zel::IWriteBarrier* barrier) {
  checkWritable();
  zel::CBufferStream::write(buffer, count, barrier);
  changed = true;
}

void CS3WriteStream::flush() {
  zel::CBufferStream::flush();
  upload();
}

void CS3WriteStream::setLength(std::int64_t length) {
  checkWritable();
  zel::CBufferStream::setLength(length);
  changed = true;
}

}  // namespace s3
