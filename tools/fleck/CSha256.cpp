#include "CSha256.h"

#include "keel/CDigestType_SHA256.h"
#include "zel/String.h"

namespace fleck::cli {

CSha256::CSha256() {
  zel::make<keel::CDigestType_SHA256>()->createDigest(digest);
}

std::string CSha256::finishHex() {
  digest->finish();
  std::string text = zel::toHex(digest->getResult(), static_cast<std::size_t>(digest->getLength()));
  digest->reset();
  return text;
}

}  // namespace fleck::cli
