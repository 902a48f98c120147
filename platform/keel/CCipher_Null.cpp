#include "keel/CCipher_Null.h"

#include "keel/CipherCall.h"

namespace keel {

namespace {

void copyOut(const char* source, const unsigned char* data, std::size_t length,
             zel::TBuffer<unsigned char>& out, int outMode, int options) {
  cipher_call::checkArguments(source, data, length, outMode, options);
  // Both handle input that lies inside out.
  if (outMode == ICipher::kAppend) {
    out.append(data, length);
  } else {
    out.assign(data, length);
  }
}

}  // namespace

void CCipher_Null::encrypt(const zel::TCryptBuffer<unsigned char>& /*key*/,
                           const unsigned char* data, std::size_t length,
                           zel::TBuffer<unsigned char>& out, int outMode, int options) {
  copyOut("keel::CCipher_Null::encrypt", data, length, out, outMode, options);
}

void CCipher_Null::decrypt(const zel::TCryptBuffer<unsigned char>& /*key*/,
                           const unsigned char* data, std::size_t length,
                           zel::TBuffer<unsigned char>& out, int outMode, int options) {
  copyOut("keel::CCipher_Null::decrypt", data, length, out, outMode, options);
}

}  // namespace keel
