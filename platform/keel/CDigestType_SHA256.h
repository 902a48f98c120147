#pragma once

#include "keel/IDigestType.h"
#include "zel/CBase.h"

namespace keel {

// The digest "sha256" (256-bit results, 32 bytes). Stateless: one object may serve
// any number of threads; each digest it makes has a single user. Callers may make it
// directly or through CDigestManager.
class CDigestType_SHA256 final : public zel::CBase, public virtual IDigestType {
 public:
  static constexpr int kLength = 32;

  zel::String getID() const override { return L"sha256"; }
  int getLength() const override { return kLength; }
  // Throws CCryptoError when OpenSSL does not provide the algorithm.
  void createDigest(zel::P<IDigest>& out) override;
};

}  // namespace keel
