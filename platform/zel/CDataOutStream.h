#pragma once

#include <cstdint>

#include "zel/CBase.h"
#include "zel/IOutStream.h"
#include "zel/P.h"
#include "zel/String.h"

namespace zel {

// Writes numbers and text to a stream in a fixed, portable encoding (docs/FORMAT.md):
// integers little-endian two's complement; a string as an Int32 byte count followed
// by that many UTF-8 bytes, no terminator.
class CDataOutStream final : public CBase {
 public:
  explicit CDataOutStream(IOutStream* stream) : stream(stream) {}

  void writeInt16(std::int16_t value);
  void writeInt32(std::int32_t value);
  void writeInt64(std::int64_t value);
  // Throws zel::CInvalidArgError for text longer than 2^31 - 1 UTF-8 bytes.
  void writeString(const String& text);
  void write(const void* bytes, int count, IWriteBarrier* barrier);

 private:
  P<IOutStream> stream;
};

}  // namespace zel
