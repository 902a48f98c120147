#include "zel/TCryptBuffer.h"

#include <openssl/crypto.h>

namespace zel {

void secureWipe(void* p, std::size_t count) noexcept {
  if (p != nullptr && count > 0) OPENSSL_cleanse(p, count);
}

}  // namespace zel
