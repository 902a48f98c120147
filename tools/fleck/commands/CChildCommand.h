#pragma once

#include <string>

#include "CCommand.h"

namespace fleck::cli {

// fleck child DIR --parent PARENT [--detached]: makes a child disk of PARENT in DIR.
class CChildCommand final : public CCommand {
 public:
  void attach(CCommandLine& commandLine) override;
  int run() override;

 private:
  std::string folder;
  std::string parent;
  bool detached = false;
};

}  // namespace fleck::cli
