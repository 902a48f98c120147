#pragma once

#include <cstddef>

namespace keel {

// PBKDF2 (PKCS #5 v2) with HMAC-SHA1, through OpenSSL: derives `keyLength` bytes into
// `out` from the password and salt (both arbitrary bytes; null only with length 0)
// with `iterations` rounds. iterations must be at least 1 and keyLength at least 0;
// bad arguments throw zel::CInvalidArgError, an OpenSSL failure keel::CCryptoError.
// Safe from any thread.
void deriveKey_PKCS5_PBKDF2_HMAC_SHA1(const void* password, std::size_t passwordLength,
                                      const unsigned char* salt, std::size_t saltLength,
                                      int iterations, int keyLength, unsigned char* out);

}  // namespace keel
