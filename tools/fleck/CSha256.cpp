#include "CSha256.h"

#include "keel/CDigestType_SHA256.h"

namespace fleck::cli {

CSha256::CSha256() {
  zel::make<keel::CDigestType_SHA256>()->createDigest(digest);
}

std::string CSha256::finishHex() {
  static const char kDigits[] = "0123456789abcdef";
  digest->finish();
  const unsigned char* bytes = digest->getResult();
  std::string text;
  for (int i = 0; i < digest->getLength(); ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  digest->reset();
  return text;
}

}  // namespace fleck::cli
