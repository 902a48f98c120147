#pragma once

#include "keel/IDigestType.h"
#include "zel/CBase.h"

namespace keel {

// The digest "md5" (128-bit results, 16 bytes). Stateless: one object may serve
// any number of threads; each digest it makes has a single user. Callers may make it
// directly or through CDigestManager.
class CDigestType_MD5 final : public zel::CBase, public virtual IDigestType {
 public:
  static constexpr int kLength = 16;

  zel::String getID() const override { return L"md5"; }
  int getLength() const override { return kLength; }
  // Throws CCryptoError when OpenSSL does not provide the algorithm.
  void createDigest(zel::P<IDigest>& out) override;
};

}  // namespace keel
