#pragma once

#include "zel/CError.h"
#include "zel/CURI.h"

namespace fleck {

// The disk failures that callers tell apart and act on: the disk needs a newer
// implementation, the password is wrong, another writer has the disk open, or an
// interrupted operation left the disk unfinished. Every
// other failure of the disk layer is an ordinary zel error. Carries the folder of the
// disk concerned under the property "diskFolder"; the source is "fleck" and the code
// is the ErrorCode. InUseByAnotherWriter adds "holder" (the holder's description, as
// "host=H pid=P since=T", empty when unknown) and "stale" ("true" when the holder
// stopped renewing its lock, which fleck's unlock operation can then remove).
class CFleckDiskError : public zel::CError {
 public:
  enum ErrorCode : int {
    NewerVersionRequired = 0,
    EncryptPasswordIncorrect = 1,
    InUseByAnotherWriter = 2,
    // An operation that rebuilds or takes the disk apart was interrupted (the disk holds
    // its mark, CFleckDiskMark); "operation" names it. Running it again finishes it.
    Unfinished = 3,
  };

  CFleckDiskError(ErrorCode code, const zel::CURI& diskFolder);
  // InUseByAnotherWriter with what is known of the holder.
  CFleckDiskError(ErrorCode code, const zel::CURI& diskFolder, const zel::String& holder,
                  bool stale);
  // Unfinished, naming the interrupted operation.
  CFleckDiskError(const zel::CURI& diskFolder, const zel::String& operation);
  ZEL_ERROR_CLONE_OPERATIONS(CFleckDiskError)

  static zel::String makeErrorMessage(ErrorCode code);

  // The disk folder named by this error's properties.
  zel::CURI getDiskFolder() const { return getDiskFolder(getProps()); }
  // The disk folder named by a property list ("diskFolder").
  static zel::CURI getDiskFolder(const zel::CProps& props);
  // The holder's description of an InUseByAnotherWriter error; empty when unknown.
  zel::String getHolder() const;
};

}  // namespace fleck
