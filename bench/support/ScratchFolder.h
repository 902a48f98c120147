#pragma once

#include <string>

#include "zel/CURI.h"

namespace fleck::bench {

// A fresh folder under /tmp (or $TMPDIR) for one benchmark's disk, removed with
// everything in it when the object ends. Not for concurrent use.
class ScratchFolder final {
 public:
  // Throws std::runtime_error when the folder cannot be made.
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return folder; }
  zel::CURI uri() const { return zel::CURI::fromLocalPath(folder); }

 private:
  std::string folder;
};

}  // namespace fleck::bench
