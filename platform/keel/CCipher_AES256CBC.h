#pragma once

#include "keel/ICipher.h"
#include "zel/CBase.h"

struct evp_cipher_ctx_st;

namespace keel {

// The cipher "aes256cbc": AES-256 in CBC mode with PKCS#7 padding, through OpenSSL's
// EVP interface.
//
// Output of encrypt: 16 bytes of initialisation vector from OpenSSL's random generator
// (RAND_bytes), then the cipher text: the input padded to the next multiple of 16
// bytes (a whole block of padding when it already is one), so n input bytes give
// 16 + (n / 16 + 1) * 16 bytes. Keys are 32 bytes.
//
// There is no integrity check. decrypt throws zel::CError (CCryptoError) for input
// that cannot be cipher text (shorter than 32 bytes, or not 16 + whole blocks) and for
// bad padding, which is what a wrong key or a damaged last block usually gives; but
// some damage, and by chance some wrong keys, yield wrong plain text without an error.
// Callers check digests. Plain text written before a failure is wiped.
//
// The OpenSSL context lives as long as the object and is re-keyed for each call; a
// call allocates nothing once out has room. Not thread-safe: one user, one thread at
// a time.
class CCipher_AES256CBC final : public zel::CBase, public virtual ICipher {
 public:
  static constexpr int kKeyLength = 32;
  static constexpr int kIVLength = 16;
  static constexpr int kBlockLength = 16;

  // Test seam: an initialisation vector used for every encryption instead of a random
  // one. That makes the output predictable and repeats the vector, which breaks the
  // cipher's confidentiality; only for checking against published vectors. Normal
  // construction (and CCipherManager) never uses it.
  struct FixedIVForTesting {
    unsigned char bytes[kIVLength];
  };

  // Throws CCryptoError when OpenSSL cannot set up the cipher.
  CCipher_AES256CBC();
  explicit CCipher_AES256CBC(const FixedIVForTesting& iv);
  ~CCipher_AES256CBC() override;
  CCipher_AES256CBC(const CCipher_AES256CBC&) = delete;
  CCipher_AES256CBC& operator=(const CCipher_AES256CBC&) = delete;

  zel::String getID() const override { return L"aes256cbc"; }
  int getKeyLength() const override { return kKeyLength; }
  int getExpansionLength1() const override { return kIVLength; }
  int getExpansionLength2() const override { return kBlockLength; }

  void encrypt(const zel::TCryptBuffer<unsigned char>& key, const unsigned char* data,
               std::size_t length, zel::TBuffer<unsigned char>& out, int outMode,
               int options) override;
  void decrypt(const zel::TCryptBuffer<unsigned char>& key, const unsigned char* data,
               std::size_t length, zel::TBuffer<unsigned char>& out, int outMode,
               int options) override;

 private:
  void makeIV(unsigned char* target);
  // Runs the context over `length` bytes (any size; OpenSSL takes int lengths) and
  // finishes; returns the bytes written to `target`. On failure wipes what it wrote
  // and throws CCryptoError, with `finalFailure` as the message when the last step
  // (the padding) fails and the caller's input length as property "length".
  std::size_t run(const char* source, const char* finalFailure, std::size_t inputLength,
                  const unsigned char* data, std::size_t length, unsigned char* target);

  evp_cipher_ctx_st* context = nullptr;
  bool ivFixed = false;
  unsigned char fixedIV[kIVLength] = {};
};

}  // namespace keel
