#include "zel/CDataInStream.h"

#include <algorithm>
#include <string>

#include "zel/CIOError.h"

namespace zel {

namespace {

template <class T>
T readLittleEndian(IInStream* stream) {
  using U = std::make_unsigned_t<T>;
  unsigned char bytes[sizeof(T)];
  stream->read(bytes, static_cast<int>(sizeof(T)));
  U bits = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i)
    bits |= static_cast<U>(U{bytes[i]} << (8 * i));
  return static_cast<T>(bits);
}

}  // namespace

std::int16_t CDataInStream::readInt16() {
  return readLittleEndian<std::int16_t>(stream);
}
std::int32_t CDataInStream::readInt32() {
  return readLittleEndian<std::int32_t>(stream);
}
std::int64_t CDataInStream::readInt64() {
  return readLittleEndian<std::int64_t>(stream);
}

String CDataInStream::readString() {
  const std::int32_t length = readInt32();
  if (length < 0) {
    throw CIOError(CIOError::InvalidData, "Invalid string length in data stream.",
                   CProps().add("length", length));
  }
  constexpr std::int32_t kPiece = 64 * 1024;
  std::string bytes;
  std::int32_t left = length;
  while (left > 0) {
    const std::int32_t piece = std::min(left, kPiece);
    const std::size_t offset = bytes.size();
    bytes.resize(offset + static_cast<std::size_t>(piece));
    stream->read(bytes.data() + offset, piece);
    left -= piece;
  }
  return String::fromUTF8(bytes);
}

void CDataInStream::read(void* bytes, int count) {
  stream->read(bytes, count);
}

}  // namespace zel
