#include "keel/CCipherManager.h"

#include "keel/CCipher_AES256CBC.h"
#include "keel/CCipher_Null.h"
#include "zel/CError.h"

namespace keel {

zel::P<ICipher> CCipherManager::getCipher(const zel::String& id) {
  if (id == L"aes256cbc") return zel::make<CCipher_AES256CBC>();
  if (id == L"null") return zel::make<CCipher_Null>();
  throw zel::CError(zel::String("Unknown cipher \"") + id + L"\"",
                    "keel::CCipherManager::getCipher", -1, zel::CProps().add("id", id));
}

}  // namespace keel
