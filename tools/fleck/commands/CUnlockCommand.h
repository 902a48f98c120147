#pragma once

#include <string>

#include "CCommand.h"

namespace fleck::cli {

// fleck unlock DIR [--force]: removes the writer lock that a writer left behind, after
// showing who held it. On a local folder the lock ends with its process, so there is
// never anything to remove; on an object store the lock goes once its holder stopped
// renewing it, or at once with --force. Exit status 1 when the lock stays.
class CUnlockCommand final : public CCommand {
 public:
  void attach(CCommandLine& commandLine) override;
  int run() override;

 private:
  std::string folder;
  bool force = false;
};

}  // namespace fleck::cli
