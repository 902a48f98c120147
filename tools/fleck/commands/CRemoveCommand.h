#pragma once

#include <string>

#include "CCommand.h"

namespace fleck::cli {

// fleck remove SNAPSHOT | fleck remove DIR --keep-last N: takes snapshots out of their
// chain, every other disk reading what it read before. Needs no password.
class CRemoveCommand final : public CCommand {
 public:
  void attach(CCommandLine& commandLine) override;
  int run() override;

 private:
  std::string folder;
  int keepLast = -1;
  CCommandLine::COption keepLastOption;
};

}  // namespace fleck::cli
