#include "fleck/ops/COperationError.h"

namespace fleck::ops {

COperationError::COperationError(const zel::CURI& diskFolder, const std::string& sentence)
    : zel::CError(zel::String::fromUTF8(sentence), "fleck::ops", -1,
                  diskFolder.isEmpty()
                      ? zel::CProps()
                      : zel::CProps().add("diskFolder", diskFolder.toString(true))) {}

zel::CURI COperationError::getDiskFolder() const {
  const zel::String* folder = getProps().find("diskFolder");
  return folder != nullptr ? zel::CURI(*folder) : zel::CURI();
}

std::string COperationError::getLine() const {
  const zel::CURI folder = getDiskFolder();
  if (folder.isEmpty()) return getMessage().toUTF8();
  return show(folder) + ": " + getMessage().toUTF8();
}

std::string COperationError::show(const zel::CURI& folder) {
  return folder.toString(false).toUTF8();
}

std::string COperationError::describe(const std::exception& e) {
  if (const auto* operation = dynamic_cast<const COperationError*>(&e); operation != nullptr) {
    return operation->getLine();
  }
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

}  // namespace fleck::ops
