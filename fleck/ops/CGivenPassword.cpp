#include "fleck/ops/CGivenPassword.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "fleck/ops/COperationError.h"
#include "zel/TCryptBuffer.h"

namespace fleck::ops {

void CGivenPassword::wipe(std::string& text) {
  zel::secureWipe(text.data(), text.size());
  text.clear();
}

zel::String CGivenPassword::toPassword(std::string& text, const std::string& origin) {
  zel::String password = zel::String::fromUTF8(text);
  std::string again = password.toUTF8();
  const bool exact = again == text;
  wipe(again);
  const bool hasNul = text.find('\0') != std::string::npos;
  wipe(text);
  if (hasNul || !exact) {
    zel::secureWipe(password.data(), password.size() * sizeof(wchar_t));
    throw COperationError(zel::CURI(),
                          "the password from " + origin + " " +
                              (hasNul ? "holds a NUL byte" : "is not valid UTF-8 text") +
                              "; a password must be UTF-8 text without NUL bytes");
  }
  return password;
}

bool CGivenPassword::isGiven() const {
  if (!passwordFile.empty()) return true;
  const char* value = std::getenv(environmentVariable.c_str());
  return value != nullptr && value[0] != '\0';
}

std::string CGivenPassword::describeOrigin() const {
  if (!passwordFile.empty()) return fileOption + " " + passwordFile;
  return environmentVariable;
}

zel::String CGivenPassword::given() const {
  std::string text;
  if (!passwordFile.empty()) {
    std::ifstream in(passwordFile, std::ios::binary);
    if (!in) {
      throw COperationError(zel::CURI(), "cannot read the password file " + passwordFile + ": " +
                                             std::strerror(errno));
    }
    std::getline(in, text);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.empty()) {
      throw COperationError(zel::CURI(), "the password file " + passwordFile +
                                             " holds no password on its first line");
    }
  } else {
    const char* value = std::getenv(environmentVariable.c_str());
    text = value != nullptr ? value : "";
  }
  return toPassword(text, describeOrigin());
}

zel::String CGivenPassword::forDisk(const CFleckDiskHeader& header, const zel::CURI& folder) {
  if (isGiven()) return given();
  if (header.getCipherID() == L"null") return zel::String();
  throw COperationError(folder,
                        "the disk is encrypted: give its password in a file or the environment "
                        "variable " +
                            environmentVariable);
}

}  // namespace fleck::ops
