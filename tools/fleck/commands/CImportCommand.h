#pragma once

#include <string>

#include "CCommand.h"

namespace fleck::cli {

// fleck import DIR IMAGE|- [--threads N] [--incremental]: writes an image into a disk
// (ops::CImporter).
class CImportCommand final : public CCommand {
 public:
  void attach(CCommandLine& commandLine) override;
  int run() override;

 private:
  std::string folder;
  std::string image;
  bool incremental = false;
  bool noSync = false;
};

}  // namespace fleck::cli
