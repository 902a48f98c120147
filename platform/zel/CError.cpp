#include "zel/CError.h"

namespace zel {

CError::CError(String message, String source, std::int64_t code, CProps props, const CError* cause)
    : message(std::move(message)),
      source(std::move(source)),
      code(code),
      props(std::move(props)),
      cause(cause != nullptr ? PC<CError>(cause->clone()) : PC<CError>()) {}

CError::CError(const CError& other)
    : std::exception(other),
      CBase(other),
      message(other.message),
      source(other.source),
      code(other.code),
      props(other.props),
      cause(other.cause) {}

CError& CError::operator=(const CError& other) {
  if (this != &other) {
    message = other.message;
    source = other.source;
    code = other.code;
    props = other.props;
    cause = other.cause;
  }
  return *this;
}

CError::~CError() = default;

const char* CError::what() const noexcept {
  try {
    std::string text = toString().toUTF8();
    std::lock_guard<std::mutex> lock(whatMutex);
    // Rewrite only on change, so that a pointer handed to another thread stays valid.
    if (whatText != text) whatText = std::move(text);
    return whatText.c_str();
  } catch (...) {
    return "zel::CError (text unavailable)";
  }
}

P<CError> CError::clone() const {
  return P<CError>(new CError(*this));
}

void CError::throwClone() const {
  throw CError(*this);
}

String CError::toString() const {
  String out = message;
  if (!source.empty() || code != -1) {
    out += L" [";
    out += source;
    if (code != -1) {
      if (!source.empty()) out += L", ";
      out += L"code ";
      out += String::fromInt64(code);
    }
    out += L']';
  }
  if (!props.isEmpty()) {
    out += L" {";
    out += props.toString();
    out += L'}';
  }
  if (cause != nullptr) {
    out += L" (caused by: ";
    out += cause->toString();
    out += L')';
  }
  return out;
}

}  // namespace zel
