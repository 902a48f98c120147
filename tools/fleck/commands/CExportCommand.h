#pragma once

#include <string>

#include "CCommand.h"

namespace fleck::cli {

// fleck export DIR [OUT|-] [--offset N --length N] [--threads N]: reads a disk (or a
// range of it) into a file or standard output (ops::CExporter).
class CExportCommand final : public CCommand {
 public:
  void attach(CCommandLine& commandLine) override;
  int run() override;

 private:
  std::string folder;
  std::string output = "-";
  std::string offset = "0";
  std::string length;
};

}  // namespace fleck::cli
