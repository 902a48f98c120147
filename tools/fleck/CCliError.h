#pragma once

#include <exception>
#include <string>

#include "fleck/ops/COperationError.h"
#include "zel/CError.h"
#include "zel/String.h"

namespace fleck::cli {

// Exit statuses of the tool.
enum ExitStatus : int {
  kExitOk = 0,
  kExitFailure = 1,  // the work failed (wrong password, I/O error, store failure, ...)
  kExitUsage = 2,    // the command line cannot work (unknown option, size of 0, ...)
  kExitDamage = 3,   // verify found damage
};

// A failure the tool reports to its user: one line (the message, naming the disk and
// what is wrong) and the exit status. The code of the zel error is the exit status.
class CCliError final : public zel::CError {
 public:
  CCliError(int exitStatus, zel::String message);
  ZEL_ERROR_CLONE_OPERATIONS(CCliError)

  int getExitStatus() const noexcept { return static_cast<int>(getCode()); }

  static CCliError usage(zel::String message) { return CCliError(kExitUsage, std::move(message)); }
  static CCliError failure(zel::String message) {
    return CCliError(kExitFailure, std::move(message));
  }

  // A failed disk operation: its line ("DIR: what is wrong").
  static CCliError from(const ops::COperationError& e);

  // A short text for any error (ops::COperationError::describe).
  static std::string describe(const std::exception& e);
};

}  // namespace fleck::cli
