#pragma once

#include <string>

#include "CCommand.h"

namespace fleck::cli {

// fleck demo [--size SIZE] [--dir DIR] [--keep] [--threads N]: the library's main job
// on a generated image, in a temporary folder that is removed afterwards: an
// encrypted disk, an import, a linked child (a snapshot), an incremental import of the
// changed image into the parent, exports of both, checked against the images'
// digests, and a table of sizes, ratio and speeds.
class CDemoCommand final : public CCommand {
 public:
  void attach(CCommandLine& commandLine) override;
  int run() override;

 private:
  std::string size = "256M";
  std::string dir;
  bool keep = false;
};

}  // namespace fleck::cli
