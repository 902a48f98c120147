#pragma once

#include <string>

#include "fleck/CFleckDiskHeader.h"
#include "fleck/ops/CGivenPassword.h"
#include "fleck/ops/IPasswordSource.h"
#include "zel/String.h"

namespace fleck::cli {

// Where the tool gets a disk's password from. Never from the command line itself: from
// the file named by --password-file (its first line), else from the environment
// variable FLECK_PASSWORD, else by asking on the terminal (/dev/tty) without echo.
// A password once obtained is kept for the next disk (a chain shares one password).
//
// Used by one thread; holds the password in memory until it ends.
class CPasswordSource final : public ops::IPasswordSource {
 public:
  CPasswordSource() = default;
  CPasswordSource(const CPasswordSource&) = delete;
  CPasswordSource& operator=(const CPasswordSource&) = delete;
  ~CPasswordSource() override;

  void setPasswordFile(const std::string& path) { givenPassword.setPasswordFile(path); }
  // Another option and environment variable than --password-file and FLECK_PASSWORD
  // (for a second password, such as a copy's new one).
  void setOrigin(const std::string& fileOptionName, const std::string& variableName) {
    givenPassword.setOrigin(fileOptionName, variableName);
  }

  // True when a password comes from the file or the environment (without asking).
  bool isGiven() const { return givenPassword.isGiven(); }
  // Where a given password comes from, for messages: "--password-file F" or
  // "FLECK_PASSWORD".
  std::string describeOrigin() const override { return givenPassword.describeOrigin(); }

  // The password to open an existing disk with: a given one always (the library
  // refuses a password for an unencrypted disk), none for an unencrypted disk, else
  // asked for once on the terminal. `folder` names the disk in the prompt and in
  // errors. Throws CCliError when there is no terminal to ask on, and
  // ops::COperationError when the file cannot be read.
  zel::String forDisk(const CFleckDiskHeader& header, const zel::CURI& folder) override;

  // The password for a new encrypted disk: a given one, else asked for twice on the
  // terminal (the answers must match). Throws CCliError as above, and for an empty
  // password.
  zel::String forNewDisk(const std::string& diskText);

 private:
  // Asks on the terminal without echo; throws CCliError when there is none.
  std::string ask(const std::string& question, const std::string& diskText) const;

  ops::CGivenPassword givenPassword;
  zel::String remembered;
  bool haveRemembered = false;
};

}  // namespace fleck::cli
