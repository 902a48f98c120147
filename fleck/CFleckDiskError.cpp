#include "fleck/CFleckDiskError.h"

namespace fleck {

CFleckDiskError::CFleckDiskError(ErrorCode code, const zel::CURI& diskFolder)
    : zel::CError(makeErrorMessage(code), "fleck", code,
                  zel::CProps().add("diskFolder", diskFolder.toString(true))) {}

zel::String CFleckDiskError::makeErrorMessage(ErrorCode code) {
  switch (code) {
    case NewerVersionRequired:
      return "A newer software version is required to access this disk.";
    case EncryptPasswordIncorrect:
      return "The encryption password is incorrect.";
  }
  return "Unknown fleck disk error.";
}

zel::CURI CFleckDiskError::getDiskFolder(const zel::CProps& props) {
  return zel::CURI(props.lookup("diskFolder"));
}

}  // namespace fleck
