#pragma once

#include <string>

#include "CCommand.h"

namespace fleck::cli {

// fleck create DIR --size SIZE [--fleck-size SIZE] [--compress ID] [--encrypt]:
// makes a new, empty disk.
class CCreateCommand final : public CCommand {
 public:
  void attach(CCommandLine& commandLine) override;
  int run() override;

 private:
  std::string folder;
  std::string size;
  std::string fleckSize = "512K";
  std::string compressor = "lz4";
  bool encrypt = false;
};

}  // namespace fleck::cli
