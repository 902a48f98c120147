#include "keel/CDigestManager.h"

#include "keel/CDigestType_MD5.h"
#include "keel/CDigestType_SHA256.h"
#include "zel/CError.h"

namespace keel {

zel::P<IDigestType> CDigestManager::getType(const zel::String& id) {
  if (id == L"md5") return zel::make<CDigestType_MD5>();
  if (id == L"sha256") return zel::make<CDigestType_SHA256>();
  throw zel::CError(zel::String("Unknown digest type \"") + id + L"\"",
                    "keel::CDigestManager::getType", -1, zel::CProps().add("id", id));
}

}  // namespace keel
