#include "zel/CDataOutStream.h"

#include <limits>

#include "zel/CInvalidArgError.h"

namespace zel {

namespace {

template <class T>
void writeLittleEndian(IOutStream* stream, T value) {
  using U = std::make_unsigned_t<T>;
  const U bits = static_cast<U>(value);
  unsigned char bytes[sizeof(T)];
  for (std::size_t i = 0; i < sizeof(T); ++i)
    bytes[i] = static_cast<unsigned char>(bits >> (8 * i));
  stream->write(bytes, static_cast<int>(sizeof(T)), nullptr);
}

}  // namespace

void CDataOutStream::writeInt16(std::int16_t value) {
  writeLittleEndian(stream, value);
}
void CDataOutStream::writeInt32(std::int32_t value) {
  writeLittleEndian(stream, value);
}
void CDataOutStream::writeInt64(std::int64_t value) {
  writeLittleEndian(stream, value);
}

void CDataOutStream::writeString(const String& text) {
  const std::string bytes = text.toUTF8();
  if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw CInvalidArgError("zel::CDataOutStream::writeString", "string too long",
                           CProps().add("bytes", static_cast<std::int64_t>(bytes.size())));
  }
  writeInt32(static_cast<std::int32_t>(bytes.size()));
  if (!bytes.empty()) stream->write(bytes.data(), static_cast<int>(bytes.size()), nullptr);
}

void CDataOutStream::write(const void* bytes, int count, IWriteBarrier* barrier) {
  stream->write(bytes, count, barrier);
}

}  // namespace zel
