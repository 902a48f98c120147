#pragma once

#include "zel/CError.h"
#include "zel/CURI.h"

namespace fleck {

// The two disk failures that callers tell apart and act on: the disk needs a newer
// implementation, or the password is wrong. Every other failure of the disk layer is
// an ordinary zel error. Carries the folder of the disk concerned under the property
// "diskFolder"; the source is "fleck" and the code is the ErrorCode.
class CFleckDiskError : public zel::CError {
 public:
  enum ErrorCode : int {
    NewerVersionRequired = 0,
    EncryptPasswordIncorrect = 1,
  };

  CFleckDiskError(ErrorCode code, const zel::CURI& diskFolder);
  ZEL_ERROR_CLONE_OPERATIONS(CFleckDiskError)

  static zel::String makeErrorMessage(ErrorCode code);

  // The disk folder named by this error's properties.
  zel::CURI getDiskFolder() const { return getDiskFolder(getProps()); }
  // The disk folder named by a property list ("diskFolder").
  static zel::CURI getDiskFolder(const zel::CProps& props);
};

}  // namespace fleck
