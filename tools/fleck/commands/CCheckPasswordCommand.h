#pragma once

#include <string>

#include "CCommand.h"

namespace fleck::cli {

// fleck check-password DIR: tells whether the password opens the disk (exit 0) or
// not (exit 1).
class CCheckPasswordCommand final : public CCommand {
 public:
  void attach(CCommandLine& commandLine) override;
  int run() override;

 private:
  std::string folder;
};

}  // namespace fleck::cli
