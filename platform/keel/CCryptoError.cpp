#include "keel/CCryptoError.h"

#include <openssl/err.h>

namespace keel {

CCryptoError::CCryptoError(zel::String source, zel::String message, zel::CProps props,
                           std::int64_t code)
    : zel::CError(std::move(message), std::move(source), code, std::move(props)) {}

void CCryptoError::throwFromOpenSSL(const char* source, const char* message, zel::CProps props) {
  // Oldest first: the first entry is usually the root cause, later ones are added by
  // the layers that passed it on.
  std::string text;
  std::int64_t code = -1;
  char line[256];
  for (unsigned long error = ERR_get_error(); error != 0; error = ERR_get_error()) {
    if (code == -1) code = static_cast<std::int64_t>(error);
    ERR_error_string_n(error, line, sizeof line);
    if (!text.empty()) text += "; ";
    text += line;
  }
  props.add("openssl", text.empty() ? zel::String("(no error queued)") : zel::String(text.c_str()));
  throw CCryptoError(source, message, std::move(props), code);
}

}  // namespace keel
