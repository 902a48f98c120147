#pragma once

#include <string>

#include "fleck/CFleckDiskHeader.h"
#include "zel/String.h"

namespace fleck::cli {

// Where the tool gets a disk's password from. Never from the command line itself: from
// the file named by --password-file (its first line), else from the environment
// variable FLECK_PASSWORD, else by asking on the terminal (/dev/tty) without echo.
// A password once obtained is kept for the next disk (a chain shares one password).
//
// Used by one thread; holds the password in memory until it ends.
class CPasswordSource final {
 public:
  static constexpr const char* kEnvironmentVariable = "FLECK_PASSWORD";

  CPasswordSource() = default;
  CPasswordSource(const CPasswordSource&) = delete;
  CPasswordSource& operator=(const CPasswordSource&) = delete;
  ~CPasswordSource();

  void setPasswordFile(const std::string& path) { passwordFile = path; }

  // True when a password comes from the file or the environment (without asking).
  bool isGiven() const;
  // Where a given password comes from, for messages: "--password-file F" or
  // "FLECK_PASSWORD".
  std::string describeOrigin() const;

  // The password to open an existing disk with: a given one always (the library
  // refuses a password for an unencrypted disk), none for an unencrypted disk, else
  // asked for once on the terminal. `diskText` names the disk in the prompt and in
  // errors. Throws CCliError when there is no terminal to ask on or the file cannot
  // be read.
  zel::String forDisk(const CFleckDiskHeader& header, const std::string& diskText);

  // The password for a new encrypted disk: a given one, else asked for twice on the
  // terminal (the answers must match). Throws CCliError as above, and for an empty
  // password.
  zel::String forNewDisk(const std::string& diskText);

 private:
  zel::String given() const;
  // Asks on the terminal without echo; throws CCliError when there is none.
  static std::string ask(const std::string& question, const std::string& diskText);

  std::string passwordFile;
  zel::String remembered;
  bool haveRemembered = false;
};

}  // namespace fleck::cli
