#include "keel/CDigestType_MD5.h"

#include <openssl/evp.h>

#include <memory>

#include "keel/CEVPDigest.h"

namespace keel {

namespace {

const EVP_MD* getAlgorithm() {
  // Fetched once per process (a fetch takes OpenSSL's global locks); every digest
  // context takes its own reference, so freeing at exit is safe.
  static const std::unique_ptr<EVP_MD, void (*)(EVP_MD*)> algorithm(
      CEVPDigest::fetchAlgorithm("MD5"), EVP_MD_free);
  return algorithm.get();
}

}  // namespace

void CDigestType_MD5::createDigest(zel::P<IDigest>& out) {
  out = new CEVPDigest(getAlgorithm());
}

}  // namespace keel
