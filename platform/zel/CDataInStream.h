#pragma once

#include <cstdint>

#include "zel/CBase.h"
#include "zel/IInStream.h"
#include "zel/P.h"
#include "zel/String.h"

namespace zel {

// Reads what CDataOutStream writes. A read past the end of the stream throws
// zel::CIOError EndOfStream; a negative string length throws zel::CIOError
// InvalidData. Long strings are read piece by piece, so a damaged length costs no
// more memory than the stream actually holds.
class CDataInStream final : public CBase {
 public:
  explicit CDataInStream(IInStream* stream) : stream(stream) {}

  std::int16_t readInt16();
  std::int32_t readInt32();
  std::int64_t readInt64();
  String readString();
  void read(void* bytes, int count);

 private:
  P<IInStream> stream;
};

}  // namespace zel
