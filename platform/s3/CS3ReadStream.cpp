#include "s3/CS3ReadStream.h"

#include <algorithm>
#include <cstring>

#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"

namespace s3 {

CS3ReadStream::CS3ReadStream(zel::P<CS3Client> client, CS3FileSystem::Object object,
                             zel::CURI location, std::int64_t window)
    : client(std::move(client)),
      object(std::move(object)),
      location(std::move(location)),
      window(std::max<std::int64_t>(window, 4096)) {
  fetch(0);
}

void CS3ReadStream::fetch(std::int64_t offset) {
  CS3Request request = CS3FileSystem::makeRequest("GET", object);
  request.headers["range"] =
      "bytes=" + std::to_string(offset) + "-" + std::to_string(offset + window - 1);
  CS3Response response = client->perform(std::move(request));
  if (response.status == 416 && offset == 0) {
    // The range starts past the end: the object exists and is empty.
    length = 0;
    windowStart = 0;
    windowBytes.clear();
    return;
  }
  if (response.status == 200) {
    // The whole object (a server may ignore the range).
    length = static_cast<std::int64_t>(response.body.size());
    windowStart = 0;
  } else if (response.status == 206) {
    const std::string range = response.header("content-range");  // "bytes a-b/total"
    const std::size_t slash = range.rfind('/');
    if (slash == std::string::npos) {
      throw zel::CIOError(zel::CIOError::InvalidData,
                          "S3 answered a ranged GET without Content-Range",
                          zel::CProps().add("key", zel::String::fromUTF8(object.key)));
    }
    length = std::stoll(range.substr(slash + 1));
    windowStart = offset;
  } else {
    throw CS3FileSystem::makeError(response, "GET", object);
  }
  windowBytes = std::move(response.body);
}

void CS3ReadStream::checkOpen() const {
  if (closed) throw zel::CIOError(zel::CIOError::StreamClosed);
}

void CS3ReadStream::refuseWriting() const {
  checkOpen();
  throw zel::CIOError(zel::CIOError::NotSupported, "The S3 stream is open for reading only.",
                      zel::CProps().add("uri", location.toString(true)));
}

std::int64_t CS3ReadStream::getLength() const {
  checkOpen();
  return length;
}

std::int64_t CS3ReadStream::getPosition() const {
  checkOpen();
  return position;
}

void CS3ReadStream::seek(std::int64_t target) {
  checkOpen();
  if (target < 0 || target > length) {
    throw zel::CIOError(zel::CIOError::InvalidPosition, zel::String(),
                        zel::CProps().add("pos", target).add("size", length));
  }
  position = target;
}

zel::P<zel::IStreamLock> CS3ReadStream::lockRange(std::int64_t, std::int64_t, LockType) {
  zel::CError cause("S3 streams do not support lockRange.");
  throw zel::CFileSystemError(zel::CFileSystemError::Unsupported, &cause);
}

bool CS3ReadStream::isEndOfStream() const {
  checkOpen();
  return position >= length;
}

int CS3ReadStream::readLax(void* buffer, int count) {
  checkOpen();
  if (count < 0) {
    throw zel::CInvalidArgError("s3::CS3ReadStream::readLax", "negative byte count",
                                zel::CProps().add("count", count));
  }
  auto* out = static_cast<unsigned char*>(buffer);
  int done = 0;
  while (done < count && position < length) {
    const std::int64_t windowEnd = windowStart + static_cast<std::int64_t>(windowBytes.size());
    if (position < windowStart || position >= windowEnd) {
      fetch(position);
      const std::int64_t fetchedEnd = windowStart + static_cast<std::int64_t>(windowBytes.size());
      if (position < length && (position < windowStart || position >= fetchedEnd)) {
        // The object changed under the reader.
        throw zel::CIOError(
            zel::CIOError::InvalidData, "S3 returned another range than asked for",
            zel::CProps().add("key", zel::String::fromUTF8(object.key)).add("pos", position));
      }
      continue;
    }
    const std::int64_t piece = std::min<std::int64_t>(count - done, windowEnd - position);
    std::memcpy(out + done, windowBytes.data() + (position - windowStart),
                static_cast<std::size_t>(piece));
    done += static_cast<int>(piece);
    position += piece;
  }
  return done;
}

void CS3ReadStream::read(void* buffer, int count) {
  if (readLax(buffer, count) < count) {
    throw zel::CIOError(zel::CIOError::EndOfStream, zel::String(),
                        zel::CProps().add("uri", location.toString(true)).add("count", count));
  }
}

void CS3ReadStream::write(const void*, int, zel::IWriteBarrier*) {
  refuseWriting();
}

void CS3ReadStream::writeKeepBuffer(zel::TConstBufferSlice<unsigned char>, zel::IWriteBarrier*) {
  refuseWriting();
}

zel::P<zel::IWriteBarrier> CS3ReadStream::createWriteBarrier(zel::IWriteBarrier*) {
  refuseWriting();
}

void CS3ReadStream::flush() {
  checkOpen();
}

void CS3ReadStream::setLength(std::int64_t) {
  refuseWriting();
}

}  // namespace s3
