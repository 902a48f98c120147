#include "keel/CipherCall.h"

#include "keel/ICipher.h"
#include "zel/CInvalidArgError.h"

namespace keel::cipher_call {

void checkArguments(const char* source, const unsigned char* data, std::size_t length, int outMode,
                    int options) {
  if (options != 0) {
    throw zel::CInvalidArgError(source, "Unknown cipher options",
                                zel::CProps().add("options", options));
  }
  if (outMode != ICipher::kReplace && outMode != ICipher::kAppend) {
    throw zel::CInvalidArgError(source, "Unknown output mode",
                                zel::CProps().add("outMode", outMode));
  }
  if (data == nullptr && length > 0) {
    throw zel::CInvalidArgError(source, "Null data with a length",
                                zel::CProps().add("length", length));
  }
}

}  // namespace keel::cipher_call
