#include "keel/CEVPDigest.h"

#include <openssl/evp.h>

#include "keel/CCryptoError.h"

namespace keel {

CEVPDigest::CEVPDigest(const evp_md_st* algorithm) {
  static_assert(sizeof result >= EVP_MAX_MD_SIZE);
  context = EVP_MD_CTX_new();
  if (context == nullptr)
    CCryptoError::throwFromOpenSSL("keel::CEVPDigest", "EVP_MD_CTX_new failed");
  if (EVP_DigestInit_ex2(context, algorithm, nullptr) != 1) {
    EVP_MD_CTX_free(context);
    CCryptoError::throwFromOpenSSL("keel::CEVPDigest", "EVP_DigestInit_ex2 failed");
  }
  length = EVP_MD_get_size(algorithm);
  state = State::Fresh;
}

CEVPDigest::~CEVPDigest() {
  EVP_MD_CTX_free(context);
}

evp_md_st* CEVPDigest::fetchAlgorithm(const char* name) {
  EVP_MD* algorithm = EVP_MD_fetch(nullptr, name, nullptr);
  if (algorithm == nullptr) {
    CCryptoError::throwFromOpenSSL("keel::CEVPDigest::fetchAlgorithm",
                                   "OpenSSL does not provide this digest",
                                   zel::CProps().add("algorithm", name));
  }
  return algorithm;
}

void CEVPDigest::initialise() {
  // A null algorithm re-initialises with the one the context already has.
  if (EVP_DigestInit_ex2(context, nullptr, nullptr) != 1) {
    state = State::Failed;
    CCryptoError::throwFromOpenSSL("keel::CEVPDigest::reset", "EVP_DigestInit_ex2 failed");
  }
  state = State::Fresh;
}

void CEVPDigest::update(const void* data, std::size_t count) {
  if (state == State::Failed) {
    throw zel::CError("Digest used after a failure without reset", "keel::CEVPDigest::update");
  }
  if (state == State::Finished) initialise();
  if (count == 0) return;
  if (EVP_DigestUpdate(context, data, count) != 1) {
    state = State::Failed;
    CCryptoError::throwFromOpenSSL("keel::CEVPDigest::update", "EVP_DigestUpdate failed");
  }
  state = State::Feeding;
}

void CEVPDigest::finish() {
  if (state == State::Finished) return;
  if (state == State::Failed) {
    throw zel::CError("Digest used after a failure without reset", "keel::CEVPDigest::finish");
  }
  unsigned int produced = 0;
  if (EVP_DigestFinal_ex(context, result, &produced) != 1 ||
      produced != static_cast<unsigned int>(length)) {
    state = State::Failed;
    CCryptoError::throwFromOpenSSL("keel::CEVPDigest::finish", "EVP_DigestFinal_ex failed");
  }
  state = State::Finished;
}

void CEVPDigest::reset() {
  // A fresh context has nothing to forget; skipping the re-initialisation saves
  // OpenSSL's reallocation for callers that reset before every message.
  if (state != State::Fresh) initialise();
}

const unsigned char* CEVPDigest::getResult() const {
  if (state != State::Finished) {
    throw zel::CError("Digest result read before finish", "keel::CEVPDigest::getResult");
  }
  return result;
}

}  // namespace keel
