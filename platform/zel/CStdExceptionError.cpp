#include "zel/CStdExceptionError.h"

#include <typeinfo>

namespace zel {

namespace {

CProps makeProps(const std::exception& e) {
  CProps props;
  props.add("exceptionType", String(typeid(e).name()));
  return props;
}

}  // namespace

CStdExceptionError::CStdExceptionError(const std::exception& e)
    : CError(String::fromUTF8(e.what()), String(), -1, makeProps(e)) {}

P<CError> CStdExceptionError::exceptionToError(const std::exception& e) {
  if (const auto* error = dynamic_cast<const CError*>(&e)) return error->clone();
  return P<CError>(new CStdExceptionError(e));
}

}  // namespace zel
