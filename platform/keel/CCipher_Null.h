#pragma once

#include "keel/ICipher.h"
#include "zel/CBase.h"

namespace keel {

// The cipher "null": output equals input, in both directions, with any key (also an
// empty one). For data that is stored unencrypted through the same code path.
// Holds no state; the calls are as thread-safe as the buffers passed to them.
class CCipher_Null final : public zel::CBase, public virtual ICipher {
 public:
  zel::String getID() const override { return L"null"; }
  int getKeyLength() const override { return 0; }
  int getExpansionLength1() const override { return 0; }
  int getExpansionLength2() const override { return 0; }

  void encrypt(const zel::TCryptBuffer<unsigned char>& key, const unsigned char* data,
               std::size_t length, zel::TBuffer<unsigned char>& out, int outMode,
               int options) override;
  void decrypt(const zel::TCryptBuffer<unsigned char>& key, const unsigned char* data,
               std::size_t length, zel::TBuffer<unsigned char>& out, int outMode,
               int options) override;
};

}  // namespace keel
