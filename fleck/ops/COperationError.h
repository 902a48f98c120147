#pragma once

#include <exception>
#include <string>

#include "zel/CError.h"
#include "zel/CURI.h"
#include "zel/String.h"

namespace fleck::ops {

// A failure of a disk operation, worded for the people who run it: the message is one
// sentence saying what is wrong ("wrong password", "damaged header: ..."), and the
// property "diskFolder" names the disk it concerns (absent when the failure concerns no
// disk, such as an image file that cannot be read). Programs show it as
// "FOLDER: sentence" (getLine()).
class COperationError final : public zel::CError {
 public:
  // `diskFolder` may be empty.
  COperationError(const zel::CURI& diskFolder, const std::string& sentence);
  ZEL_ERROR_CLONE_OPERATIONS(COperationError)

  // The disk's folder, or an empty location.
  zel::CURI getDiskFolder() const;
  // "FOLDER: sentence", or the sentence alone without a folder.
  std::string getLine() const;

  // A folder as people read it.
  static std::string show(const zel::CURI& folder);

  // A short text for any error: an operation error's line; a zel error's message with
  // the file it names (the property "uri" or "path") and its cause's message, or its
  // one-line form when it has no message; what() for others.
  static std::string describe(const std::exception& e);
};

}  // namespace fleck::ops
