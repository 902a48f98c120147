#pragma once

#include "keel/IDigestType.h"
#include "zel/CBase.h"

namespace keel {

// Finds digest algorithms by their stored name. Made fresh for each use; holds no
// state, so it may be called from any thread.
class CDigestManager final : public zel::CBase {
 public:
  // A new object for "md5" or "sha256". Any other id throws zel::CError naming it
  // (property "id").
  zel::P<IDigestType> getType(const zel::String& id);
};

}  // namespace keel
