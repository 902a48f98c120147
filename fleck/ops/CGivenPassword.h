#pragma once

#include <string>

#include "fleck/ops/IPasswordSource.h"
#include "zel/String.h"

namespace fleck::ops {

// A password given without asking: the first line of a file when one is named, else
// the environment variable FLECK_PASSWORD (or another one: a new password for a copy
// comes from FLECK_NEW_PASSWORD or --new-password-file). A password must be UTF-8 text without NUL
// bytes: the key is derived from its UTF-8 bytes up to the first NUL, so a NUL would
// cut it short and a byte that is no UTF-8 would let different passwords open the same
// disk.
//
// Keeps only the file's name; reads the password anew on every call. One thread.
class CGivenPassword : public IPasswordSource {
 public:
  static constexpr const char* kEnvironmentVariable = "FLECK_PASSWORD";

  CGivenPassword() = default;
  explicit CGivenPassword(std::string passwordFile) : passwordFile(std::move(passwordFile)) {}

  void setPasswordFile(const std::string& path) { passwordFile = path; }
  // Where the password comes from instead of --password-file and FLECK_PASSWORD: the
  // option that names the file (for messages) and the environment variable.
  void setOrigin(const std::string& fileOptionName, const std::string& variableName) {
    fileOption = fileOptionName;
    environmentVariable = variableName;
  }
  const std::string& getFileOption() const noexcept { return fileOption; }
  const std::string& getEnvironmentVariable() const noexcept { return environmentVariable; }

  // True when a password comes from the file or the environment.
  bool isGiven() const;
  // "--password-file F" or "FLECK_PASSWORD" (or the names given to setOrigin).
  std::string describeOrigin() const override;
  // The given password. Throws COperationError when the file cannot be read, holds no
  // password, or the password is no valid text.
  zel::String given() const;

  // The given password always (the disk refuses a password it does not need), none for
  // an unencrypted disk, and else a COperationError naming the disk.
  zel::String forDisk(const CFleckDiskHeader& header, const zel::CURI& folder) override;

  // Turns `text` into a password and wipes it; throws COperationError naming `origin`
  // when it holds a NUL byte or is not valid UTF-8.
  static zel::String toPassword(std::string& text, const std::string& origin);
  // Overwrites and empties `text`.
  static void wipe(std::string& text);

 private:
  std::string passwordFile;
  std::string fileOption = "--password-file";
  std::string environmentVariable = kEnvironmentVariable;
};

}  // namespace fleck::ops
