#include "zel/CFileSystemError.h"

namespace zel {

namespace {

CProps makeProps(CFileSystemError::Problem problem, const CError* cause) {
  CProps props;
  if (cause != nullptr) props.addAll(cause->getProps());
  props.add(CFileSystemError::kProblemKey, static_cast<int>(problem));
  return props;
}

String makeMessage(CFileSystemError::Problem problem, const CError* cause) {
  String message = CFileSystemError::describe(problem);
  if (cause != nullptr && !cause->getMessage().empty()) {
    message += L": ";
    message += cause->getMessage();
  }
  return message;
}

}  // namespace

CFileSystemError::CFileSystemError(Problem problem, const CError* cause)
    : CError(makeMessage(problem, cause), "zel::IFileSystem", problem, makeProps(problem, cause),
             cause),
      problem(problem) {}

CFileSystemError::Problem CFileSystemError::getProblem(const CProps& props) noexcept {
  const String* value = props.find(kProblemKey);
  if (value == nullptr) return Other;
  try {
    return static_cast<Problem>(parseInt64(*value, false));
  } catch (...) {
    return Other;
  }
}

String CFileSystemError::describe(Problem problem) {
  switch (problem) {
    case NotFound:
      return "File or folder not found";
    case AlreadyExists:
      return "Target already exists";
    case Unsupported:
      return "Operation not supported";
    case Locked:
      return "Locked by another holder";
    case NotRegular:
      return "Not a regular file";
    default:
      return "File system operation failed";
  }
}

}  // namespace zel
