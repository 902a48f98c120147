#include "fleck/CFleckDiskError.h"

namespace fleck {

CFleckDiskError::CFleckDiskError(ErrorCode code, const zel::CURI& diskFolder)
    : zel::CError(makeErrorMessage(code), "fleck", code,
                  zel::CProps().add("diskFolder", diskFolder.toString(true))) {}

CFleckDiskError::CFleckDiskError(ErrorCode code, const zel::CURI& diskFolder,
                                 const zel::String& holder, bool stale)
    : zel::CError(makeErrorMessage(code), "fleck", code,
                  zel::CProps()
                      .add("diskFolder", diskFolder.toString(true))
                      .add("holder", holder)
                      .add("stale", stale ? "true" : "false")) {}

CFleckDiskError::CFleckDiskError(const zel::CURI& diskFolder, const zel::String& operation)
    : zel::CError(makeErrorMessage(Unfinished), "fleck", Unfinished,
                  zel::CProps()
                      .add("diskFolder", diskFolder.toString(true))
                      .add("operation", operation)) {}

zel::String CFleckDiskError::getHolder() const {
  const zel::String* holder = getProps().find("holder");
  return holder != nullptr ? *holder : zel::String();
}

zel::String CFleckDiskError::makeErrorMessage(ErrorCode code) {
  switch (code) {
    case NewerVersionRequired:
      return "A newer software version is required to access this disk.";
    case EncryptPasswordIncorrect:
      return "The encryption password is incorrect.";
    case InUseByAnotherWriter:
      return "Fleck disk is in use by another writer.";
    case Unfinished:
      return "Fleck disk is unfinished: an operation on it was interrupted.";
  }
  return "Unknown fleck disk error.";
}

zel::CURI CFleckDiskError::getDiskFolder(const zel::CProps& props) {
  return zel::CURI(props.lookup("diskFolder"));
}

}  // namespace fleck
