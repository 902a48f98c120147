#pragma once

#include <string>

#include "CCommand.h"
#include "fleck/ops/CVerifier.h"

namespace fleck::cli {

// fleck verify DIR [--chain] [--repair-metadata] [--threads N]: checks every metadata
// copy and every fleck file of a disk (or of each disk of its chain) and lists the
// damaged ones. Exit status 3 when damage was found.
class CVerifyCommand final : public CCommand {
 public:
  void attach(CCommandLine& commandLine) override;
  int run() override;

 private:
  void print(const zel::CURI& folder, const ops::CVerifier::Report& report) const;

  std::string folder;
  bool chain = false;
  bool repairMetadata = false;
};

}  // namespace fleck::cli
