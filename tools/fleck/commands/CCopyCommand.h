#pragma once

#include <string>

#include "CCommand.h"

namespace fleck::cli {

// fleck copy SRC DST [--chain] [--new-password] [--threads N] [--json]: copies a disk
// (or its chain) to another folder, local or s3:// (ops::CDiskCopier).
class CCopyCommand final : public CCommand {
 public:
  void attach(CCommandLine& commandLine) override;
  int run() override;

 private:
  std::string source;
  std::string destination;
  bool chain = false;
  bool newPassword = false;
  std::string newPasswordFile;
  bool json = false;
};

}  // namespace fleck::cli
