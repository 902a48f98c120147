#pragma once

#include <string>

#include "CCommand.h"

namespace fleck::cli {

// fleck chain DIR [--json]: the chain DIR belongs to, live disk first, with what each
// disk stores and what removing it would free. Needs no password.
class CChainCommand final : public CCommand {
 public:
  void attach(CCommandLine& commandLine) override;
  int run() override;

 private:
  std::string folder;
  bool json = false;
};

}  // namespace fleck::cli
