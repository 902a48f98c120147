#pragma once

#include "keel/IDigest.h"
#include "zel/P.h"
#include "zel/String.h"

namespace keel {

// A digest algorithm: its name and result length, and a factory of digest objects.
// Implementations hold no state of their own beyond that; they may be called from any
// thread.
class IDigestType : public virtual zel::IBase {
 public:
  // The algorithm's name as stored: "md5", "sha256".
  virtual zel::String getID() const = 0;
  // Bytes of a result.
  virtual int getLength() const = 0;
  // Makes a new digest object, owned by the caller, into `out` (replacing what out held).
  virtual void createDigest(zel::P<IDigest>& out) = 0;
};

}  // namespace keel
