#include "s3/CS3ReadStream.h"

#include <algorithm>
#include <cstring>

#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"

namespace zel {

CS3ReadStream::CS3ReadStream(P<CS3Client> client, CS3FileSystem::Object object, CURI location,
                             std::int64_t window)
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
      throw CIOError(CIOError::InvalidData, "S3 answered a ranged GET without Content-Range",
                     CProps().add("key", String::fromUTF8(object.key)));
    }
    length = std::stoll(range.substr(slash + 1));
    windowStart = offset;
  } else {
    throw CS3FileSystem::makeError(response, "GET", object);
  }
  windowBytes = std::move(response.body);
}

void CS3ReadStream::checkOpen() const {
  if (closed) throw CIOError(CIOError::StreamClosed);
}

void CS3ReadStream::refuseWriting() const {
  checkOpen();
  throw CIOError(CIOError::NotSupported, "The S3 stream is open for reading only.",
                 CProps().add("uri", location.toString(true)));
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
    throw CIOError(CIOError::InvalidPosition, String(),
                   CProps().add("pos", target).add("size", length));
  }
  position = target;
}

P<IStreamLock> CS3ReadStream::lockRange(std::int64_t, std::int64_t, LockType) {
  CError cause("S3 streams do not support lockRange.");
  throw CFileSystemError(CFileSystemError::Unsupported, &cause);
}

bool CS3ReadStream::isEndOfStream() const {
  checkOpen();
  return position >= length;
}

int CS3ReadStream::readLax(void* buffer, int count) {
  checkOpen();
  if (count < 0) {
    throw CInvalidArgError("zel::CS3ReadStream::readLax", "negative byte count",
                           CProps().add("count", count));
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
        throw CIOError(CIOError::InvalidData, "S3 returned another range than asked for",
                       CProps().add("key", String::fromUTF8(object.key)).add("pos", position));
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
    throw CIOError(CIOError::EndOfStream, String(),
                   CProps().add("uri", location.toString(true)).add("count", count));
  }
}

void CS3ReadStream::write(const void*, int, IWriteBarrier*) {
  refuseWriting();
}

void CS3ReadStream::writeKeepBuffer(TConstBufferSlice<unsigned char>, IWriteBarrier*) {
  refuseWriting();
}

P<IWriteBarrier> CS3ReadStream::createWriteBarrier(IWriteBarrier*) {
  refuseWriting();
}

void CS3ReadStream::flush() {
  checkOpen();
}

void CS3ReadStream::setLength(std::int64_t) {
  refuseWriting();
}

}  // namespace zel
