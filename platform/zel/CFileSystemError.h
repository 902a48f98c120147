#pragma once

#include "zel/CError.h"

namespace zel {

// A failure of a file-system operation. The problem number tells callers how to react;
// it is also stored in the properties (key "fileSystemProblem"), so that code that only
// has a property list, or an error of another class, can ask with getProblem(props).
// The cause, when given, carries the details (the operating system's message, the
// path); its properties are copied into this error's.
class CFileSystemError : public CError {
 public:
  enum Problem : int {
    Other = 0,          // anything not listed here; see the message and properties
    NotFound = 1,       // a file or folder of the path does not exist
    AlreadyExists = 2,  // the target exists
    Unsupported = 6,    // the file system or stream cannot do this
    Locked = 7,         // a lock is held by another holder
    NotRegular = 8,     // not a regular file (a symbolic link, FIFO, device or folder)
  };

  static constexpr const char* kProblemKey = "fileSystemProblem";

  explicit CFileSystemError(Problem problem, const CError* cause = nullptr);
  CFileSystemError(Problem problem, const CError& cause) : CFileSystemError(problem, &cause) {}
  ZEL_ERROR_CLONE_OPERATIONS(CFileSystemError)

  Problem getProblem() const noexcept { return problem; }

  // The problem recorded in a property list; 0 (Other) when there is none.
  static Problem getProblem(const CProps& props) noexcept;

  static String describe(Problem problem);

 private:
  Problem problem;
};

}  // namespace zel
