#pragma once

#include <cstdint>
#include <exception>
#include <mutex>
#include <string>

#include "zel/CBase.h"
#include "zel/CProps.h"
#include "zel/P.h"
#include "zel/String.h"

namespace zel {

// Declares the two virtual copy operations of an error class, so that an error saved
// for later (cloned) and thrown again keeps its class.
#define ZEL_ERROR_CLONE_OPERATIONS(Class)             \
  ::zel::P<::zel::CError> clone() const override {    \
    return ::zel::P<::zel::CError>(new Class(*this)); \
  }                                                   \
  [[noreturn]] void throwClone() const override {     \
    throw Class(*this);                               \
  }

// The base of every error zel and fleck throw: a message, a source (the operation or
// component that failed, often empty), a 64-bit code (-1 when none), an ordered
// property list with the context, and an optional cause.
//
// Errors are thrown by value and caught by reference. To keep one beyond its handler
// (a background failure, a fallback attempt), take clone(); throwClone() throws a copy
// of the most derived class. An error is not meant to be changed by one thread while
// another reads it; what() alone may be called from several threads at once.
class CError : public std::exception, public CBase {
 public:
  explicit CError(String message, String source = String(), std::int64_t code = -1,
                  CProps props = CProps(), const CError* cause = nullptr);
  CError(const CError& other);
  CError& operator=(const CError& other);
  ~CError() override;

  // UTF-8 text of toString(), valid until this error changes or ends.
  const char* what() const noexcept override;
  virtual P<CError> clone() const;
  [[noreturn]] virtual void throwClone() const;
  const CError* getCause() const noexcept { return cause.get(); }

  const String& getMessage() const noexcept { return message; }
  const String& getSource() const noexcept { return source; }
  std::int64_t getCode() const noexcept { return code; }
  CProps& getProps() noexcept { return props; }
  const CProps& getProps() const noexcept { return props; }

  // One line: the message, then "[source, code N]" when set, then "{properties}",
  // then "(caused by: ...)" for the chain of causes.
  String toString() const;

 private:
  String message;
  String source;
  std::int64_t code;
  CProps props;
  PC<CError> cause;
  mutable std::mutex whatMutex;  // guards whatText
  mutable std::string whatText;
};

}  // namespace zel
