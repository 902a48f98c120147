#include "keel/CCipher_AES256CBC.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include "keel/CCryptoError.h"
#include "keel/CipherCall.h"
#include "zel/CInvalidArgError.h"

namespace keel {

namespace {

// Largest piece handed to OpenSSL at once: below INT_MAX and whole blocks, so that
// pieces of cipher text keep block boundaries.
constexpr std::size_t kPieceLength = std::size_t{1} << 30;

// Room for the vector, a padding block, and the slack EVP asks for.
constexpr std::size_t kMaxLength = std::numeric_limits<std::size_t>::max() - 64;

const EVP_CIPHER* getAlgorithm() {
  // Fetched once per process (a fetch takes OpenSSL's global locks); every context
  // takes its own reference, so freeing at exit is safe.
  static const std::unique_ptr<EVP_CIPHER, void (*)(EVP_CIPHER*)> algorithm(
      [] {
        EVP_CIPHER* fetched = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
        if (fetched == nullptr) {
          CCryptoError::throwFromOpenSSL("keel::CCipher_AES256CBC",
                                         "OpenSSL does not provide AES-256-CBC");
        }
        return fetched;
      }(),
      EVP_CIPHER_free);
  return algorithm.get();
}

void checkKey(const char* source, const zel::TCryptBuffer<unsigned char>& key,
              const zel::TBuffer<unsigned char>& out) {
  if (key.getUsed() != CCipher_AES256CBC::kKeyLength) {
    throw zel::CInvalidArgError(source, "Wrong key length",
                                zel::CProps()
                                    .add("keyLength", key.getUsed())
                                    .add("expected", CCipher_AES256CBC::kKeyLength));
  }
  if (static_cast<const void*>(&key) == static_cast<const void*>(&out)) {
    throw zel::CInvalidArgError(source, "The key buffer is also the output buffer");
  }
}

void checkLength(const char* source, std::size_t length) {
  if (length > kMaxLength) {
    throw zel::CInvalidArgError(source, "Data too long", zel::CProps().add("length", length));
  }
}

}  // namespace

CCipher_AES256CBC::CCipher_AES256CBC() {
  const EVP_CIPHER* algorithm = getAlgorithm();
  context = EVP_CIPHER_CTX_new();
  if (context == nullptr) {
    CCryptoError::throwFromOpenSSL("keel::CCipher_AES256CBC", "EVP_CIPHER_CTX_new failed");
  }
  // Set the algorithm once; calls re-initialise with a null algorithm, which keeps
  // OpenSSL's state instead of freeing and re-creating it.
  if (EVP_CipherInit_ex2(context, algorithm, nullptr, nullptr, 1, nullptr) != 1) {
    EVP_CIPHER_CTX_free(context);
    CCryptoError::throwFromOpenSSL("keel::CCipher_AES256CBC", "EVP_CipherInit_ex2 failed");
  }
}

CCipher_AES256CBC::CCipher_AES256CBC(const FixedIVForTesting& iv) : CCipher_AES256CBC() {
  ivFixed = true;
  std::memcpy(fixedIV, iv.bytes, kIVLength);
}

CCipher_AES256CBC::~CCipher_AES256CBC() {
  // Also wipes the key schedule.
  EVP_CIPHER_CTX_free(context);
}

void CCipher_AES256CBC::makeIV(unsigned char* target) {
  if (ivFixed) {
    std::memcpy(target, fixedIV, kIVLength);
  } else if (RAND_bytes(target, kIVLength) != 1) {
    CCryptoError::throwFromOpenSSL("keel::CCipher_AES256CBC::encrypt",
                                   "No random initialisation vector");
  }
}

std::size_t CCipher_AES256CBC::run(const char* source, const char* finalFailure,
                                   std::size_t inputLength, const unsigned char* data,
                                   std::size_t length, unsigned char* target) {
  std::size_t written = 0;
  const char* failure = nullptr;
  for (std::size_t done = 0; done < length && failure == nullptr;) {
    const std::size_t piece = std::min(length - done, kPieceLength);
    int produced = 0;
    if (EVP_CipherUpdate(context, target + written, &produced, data + done,
                         static_cast<int>(piece)) != 1) {
      failure = "EVP_CipherUpdate failed";
    } else {
      written += static_cast<std::size_t>(produced);
      done += piece;
    }
  }
  if (failure == nullptr) {
    int produced = 0;
    if (EVP_CipherFinal_ex(context, target + written, &produced) == 1) {
      return written + static_cast<std::size_t>(produced);
    }
    failure = finalFailure;
  }
  // Decrypted blocks before a bad one may be genuine plain text; leave none behind.
  OPENSSL_cleanse(target, written);
  CCryptoError::throwFromOpenSSL(source, failure, zel::CProps().add("length", inputLength));
}

void CCipher_AES256CBC::encrypt(const zel::TCryptBuffer<unsigned char>& key,
                                const unsigned char* data, std::size_t length,
                                zel::TBuffer<unsigned char>& out, int outMode, int options) {
  static constexpr const char* kSource = "keel::CCipher_AES256CBC::encrypt";
  cipher_call::checkArguments(kSource, data, length, outMode, options);
  checkKey(kSource, key, out);
  checkLength(kSource, length);
  if (cipher_call::overlapsStorage(out, data, length)) {
    // Writing to out could move or overwrite the input; work from a copy, wiped after.
    const zel::TCryptBuffer<unsigned char> copy(data, length);
    encrypt(key, copy.getData(), length, out, outMode, options);
    return;
  }

  if (outMode == kReplace) out.clear();
  // Vector, input, and at most one block of padding; EVP needs no more than that.
  unsigned char* const target = out.getFreePtr(kIVLength + length + kBlockLength);
  makeIV(target);
  if (EVP_CipherInit_ex2(context, nullptr, key.getData(), target, 1, nullptr) != 1) {
    CCryptoError::throwFromOpenSSL(kSource, "EVP_CipherInit_ex2 failed");
  }
  const std::size_t written =
      run(kSource, "EVP_CipherFinal_ex failed", length, data, length, target + kIVLength);
  out.addUsed(kIVLength + written);
}

void CCipher_AES256CBC::decrypt(const zel::TCryptBuffer<unsigned char>& key,
                                const unsigned char* data, std::size_t length,
                                zel::TBuffer<unsigned char>& out, int outMode, int options) {
  static constexpr const char* kSource = "keel::CCipher_AES256CBC::decrypt";
  cipher_call::checkArguments(kSource, data, length, outMode, options);
  checkKey(kSource, key, out);
  checkLength(kSource, length);
  if (length < kIVLength + kBlockLength || (length - kIVLength) % kBlockLength != 0) {
    // Like any failed decryption, this one leaves nothing behind in kReplace mode.
    if (outMode == kReplace) out.clear();
    throw CCryptoError(kSource,
                       "Cipher text truncated or damaged: not a vector followed by whole blocks",
                       zel::CProps().add("length", length));
  }
  if (cipher_call::overlapsStorage(out, data, length)) {
    const zel::TBuffer<unsigned char> copy(data, length);
    decrypt(key, copy.getData(), length, out, outMode, options);
    return;
  }

  if (outMode == kReplace) out.clear();
  // The plain text is shorter than the cipher text; EVP wants one block of slack on
  // top, which the vector's 16 bytes provide.
  unsigned char* const target = out.getFreePtr(length);
  if (EVP_CipherInit_ex2(context, nullptr, key.getData(), data, 0, nullptr) != 1) {
    CCryptoError::throwFromOpenSSL(kSource, "EVP_CipherInit_ex2 failed");
  }
  const std::size_t written =
      run(kSource, "Decryption failed: wrong key, or damaged or truncated cipher text", length,
          data + kIVLength, length - kIVLength, target);
  out.addUsed(written);
}

}  // namespace keel
