#pragma once

#include <exception>

#include "zel/CError.h"

namespace zel {

// A standard-library exception carried as a zel error, so that code which keeps errors
// for later (read threads, background saves) can treat every failure alike.
class CStdExceptionError : public CError {
 public:
  explicit CStdExceptionError(const std::exception& e);
  ZEL_ERROR_CLONE_OPERATIONS(CStdExceptionError)

  // A zel error is cloned with its class intact; any other exception is wrapped, with
  // its what() text as message and its type under the property "exceptionType".
  static P<CError> exceptionToError(const std::exception& e);
};

}  // namespace zel
