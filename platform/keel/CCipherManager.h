#pragma once

#include "keel/ICipher.h"
#include "zel/CBase.h"
#include "zel/P.h"

namespace keel {

// Finds ciphers by their stored name. Made fresh for each use; holds no state, so it
// may be called from any thread.
class CCipherManager final : public zel::CBase {
 public:
  // A new cipher object, owned by the caller, for "aes256cbc" or "null". Any other id
  // throws zel::CError naming it (property "id").
  zel::P<ICipher> getCipher(const zel::String& id);
};

}  // namespace keel
