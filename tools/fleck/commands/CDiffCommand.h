#pragma once

#include <string>

#include "CCommand.h"

namespace fleck::cli {

// fleck diff A B [--json] [--threads N]: the byte ranges in which two disks differ,
// told by the digests in the fleck records' heads. Needs no password. Exit status 0
// whether or not the disks differ.
class CDiffCommand final : public CCommand {
 public:
  void attach(CCommandLine& commandLine) override;
  int run() override;

 private:
  std::string first;
  std::string second;
  bool json = false;
};

}  // namespace fleck::cli
