#include "keel/KeyDerivation.h"

#include <openssl/evp.h>

#include <climits>
#include <memory>

#include "keel/CCryptoError.h"
#include "keel/CEVPDigest.h"
#include "zel/CInvalidArgError.h"

namespace keel {

namespace {

const EVP_MD* getSHA1() {
  static const std::unique_ptr<EVP_MD, void (*)(EVP_MD*)> algorithm(
      CEVPDigest::fetchAlgorithm("SHA1"), EVP_MD_free);
  return algorithm.get();
}

}  // namespace

void deriveKey_PKCS5_PBKDF2_HMAC_SHA1(const void* password, std::size_t passwordLength,
                                      const unsigned char* salt, std::size_t saltLength,
                                      int iterations, int keyLength, unsigned char* out) {
  static constexpr const char* kSource = "keel::deriveKey_PKCS5_PBKDF2_HMAC_SHA1";
  if (iterations < 1 || keyLength < 0) {
    throw zel::CInvalidArgError(
        kSource, "Bad iteration count or key length",
        zel::CProps().add("iterations", iterations).add("keyLength", keyLength));
  }
  if (passwordLength > INT_MAX || saltLength > INT_MAX) {
    throw zel::CInvalidArgError(
        kSource, "Password or salt too long",
        zel::CProps().add("passwordLength", passwordLength).add("saltLength", saltLength));
  }
  if ((password == nullptr && passwordLength > 0) || (salt == nullptr && saltLength > 0) ||
      (out == nullptr && keyLength > 0)) {
    throw zel::CInvalidArgError(kSource, "Null pointer with a length");
  }
  if (keyLength == 0) return;

  // OpenSSL is not asked to accept null pointers for empty inputs.
  static const unsigned char kEmpty[1] = {0};
  const char* passwordBytes = password != nullptr ? static_cast<const char*>(password)
                                                  : reinterpret_cast<const char*>(kEmpty);
  const unsigned char* saltBytes = salt != nullptr ? salt : kEmpty;
  if (PKCS5_PBKDF2_HMAC(passwordBytes, static_cast<int>(passwordLength), saltBytes,
                        static_cast<int>(saltLength), iterations, getSHA1(), keyLength, out) != 1) {
    CCryptoError::throwFromOpenSSL(kSource, "PBKDF2 failed");
  }
}

}  // namespace keel
