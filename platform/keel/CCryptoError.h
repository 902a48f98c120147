#pragma once

#include <cstdint>

#include "zel/CError.h"

namespace keel {

// A cryptographic operation failed: OpenSSL refused it, or the data to decrypt is
// truncated, damaged or was made with another key. The source names the operation;
// the properties carry the context, and for failures reported by OpenSSL the
// property "openssl" holds OpenSSL's error text and the code its packed error code
// (otherwise -1).
class CCryptoError final : public zel::CError {
 public:
  CCryptoError(zel::String source, zel::String message, zel::CProps props = zel::CProps(),
               std::int64_t code = -1);
  ZEL_ERROR_CLONE_OPERATIONS(CCryptoError)

  // Throws a CCryptoError that carries the errors queued by OpenSSL on this thread,
  // and empties that queue, so that a later failure does not report stale errors.
  [[noreturn]] static void throwFromOpenSSL(const char* source, const char* message,
                                            zel::CProps props = zel::CProps());
};

}  // namespace keel
