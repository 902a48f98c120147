#include "fleck/ops/COperationError.h"

#include <string>

#include "zel/CIOError.h"

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

namespace {

std::string describeIOCode(zel::CIOError::Code code) {
  switch (code) {
    case zel::CIOError::SizeExceeded:
      return "the write would pass the end of the disk";
    case zel::CIOError::EndOfStream:
      return "fewer bytes than asked for were left on the disk";
    case zel::CIOError::InvalidPosition:
      return "the position lies outside the disk";
    case zel::CIOError::NotAligned:
      return "a whole-fleck transfer did not start on a fleck boundary";
    default:
      return "an input/output error (code " + std::to_string(static_cast<int>(code)) + ")";
  }
}

}  // namespace

std::string COperationError::describe(const std::exception& e) {
  if (const auto* operation = dynamic_cast<const COperationError*>(&e); operation != nullptr) {
    return operation->getLine();
  }
  const auto* error = dynamic_cast<const zel::CError*>(&e);
  if (error == nullptr) return e.what();
  std::string text = error->getMessage().toUTF8();
  // Byte I/O errors of a disk carry only their code: say what it means, and where.
  if (const auto* io = dynamic_cast<const zel::CIOError*>(error); io != nullptr && text.empty()) {
    text = describeIOCode(io->getIOCode());
    if (const zel::String* position = io->getProps().find("position"); position != nullptr) {
      text += " at byte " + position->toUTF8();
    }
  }
  if (text.empty()) return error->toString().toUTF8();
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
