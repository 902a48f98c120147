#pragma once

#include <string>

#include "CCommand.h"

namespace fleck::cli {

// fleck info DIR [--json]: the header's fields, the chain and what the disk stores.
// Needs no password.
class CInfoCommand final : public CCommand {
 public:
  void attach(CCommandLine& commandLine) override;
  int run() override;

 private:
  std::string folder;
  bool json = false;
};

}  // namespace fleck::cli
