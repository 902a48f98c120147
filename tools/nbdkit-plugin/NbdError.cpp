#include "NbdError.h"

#include <cerrno>
#include <new>

#include "fleck/ops/COperationError.h"
#include "zel/CError.h"
#include "zel/CFileSystemError.h"
#include "zel/CIOError.h"
#include "zel/CInvalidArgError.h"

namespace fleck::nbd {

namespace {

// The first "errno" property along the chain of causes, or 0.
int recordedErrno(const zel::CError* error) {
  for (; error != nullptr; error = error->getCause()) {
    if (const zel::String* value = error->getProps().find("errno"); value != nullptr) {
      try {
        const int number = std::stoi(value->toUTF8());
        if (number > 0) return number;
      } catch (const std::exception&) {
        // Not a number: look further down the chain.
      }
    }
  }
  return 0;
}

}  // namespace

int errnoFor(const std::exception& error) noexcept {
  if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr) return ENOMEM;
  const auto* zelError = dynamic_cast<const zel::CError*>(&error);
  if (zelError == nullptr) return EIO;
  try {
    // NBD carries only a few error numbers; any other arrives as EINVAL, which would
    // blame the client for a failure of the storage.
    switch (recordedErrno(zelError)) {
      case 0:
        break;
      case ENOSPC:
      case EDQUOT:
        return ENOSPC;
      case EROFS:
      case EPERM:
      case EACCES:
        return EPERM;
      case ENOMEM:
        return ENOMEM;
      default:
        return EIO;
    }
  } catch (const std::exception&) {
    return EIO;
  }
  if (dynamic_cast<const zel::CInvalidArgError*>(zelError) != nullptr) return EINVAL;
  if (const auto* io = dynamic_cast<const zel::CIOError*>(zelError); io != nullptr) {
    switch (io->getIOCode()) {
      case zel::CIOError::EndOfStream:
      case zel::CIOError::InvalidPosition:
      case zel::CIOError::SizeExceeded:
      case zel::CIOError::NotAligned:
        return EINVAL;
      case zel::CIOError::NotSupported:
        return ENOTSUP;
      default:
        return EIO;
    }
  }
  if (const auto* fsError = dynamic_cast<const zel::CFileSystemError*>(zelError);
      fsError != nullptr && fsError->getProblem() == zel::CFileSystemError::Unsupported) {
    return ENOTSUP;
  }
  return EIO;
}

std::string describeError(const std::exception& error) {
  return ops::COperationError::describe(error);
}

}  // namespace fleck::nbd
