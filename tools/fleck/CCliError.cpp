#include "CCliError.h"

namespace fleck::cli {

CCliError::CCliError(int exitStatus, zel::String message)
    : zel::CError(std::move(message), "fleck", exitStatus) {}

CCliError CCliError::from(const ops::COperationError& e) {
  return failure(zel::String::fromUTF8(e.getLine()));
}

std::string CCliError::describe(const std::exception& e) {
  return ops::COperationError::describe(e);
}

}  // namespace fleck::cli
