#include "CCliError.h"

#include "zel/CURI.h"

namespace fleck::cli {

CCliError::CCliError(int exitStatus, zel::String message)
    : zel::CError(std::move(message), "fleck", exitStatus) {}

std::string CCliError::describe(const std::exception& e) {
  const auto* error = dynamic_cast<const zel::CError*>(&e);
  if (error == nullptr) return e.what();
  if (error->getMessage().empty()) return error->toString().toUTF8();
  std::string text = error->getMessage().toUTF8();
  if (const zel::String* uri = error->getProps().find("uri"); uri != nullptr && !uri->empty()) {
    text += " (" + zel::CURI(*uri).toString(false).toUTF8() + ")";
  } else if (const zel::String* path = error->getProps().find("path"); path != nullptr) {
    text += " (" + path->toUTF8() + ")";
  }
  // The cause often says what the operating system refused.
  if (const zel::CError* cause = error->getCause();
      cause != nullptr && !cause->getMessage().empty()) {
    text += ": " + cause->getMessage().toUTF8();
  }
  return text;
}

}  // namespace fleck::cli
