#pragma once

#include <cstdint>

#include "zel/CBase.h"

namespace zel {

// What IFileSystem::getFileInfo found out about one file or folder.
class CFileInfo final : public CBase {
 public:
  CFileInfo(std::int64_t size, bool folder) : size(size), folder(folder) {}

  // Size in bytes; 0 for a folder.
  std::int64_t getSize() const noexcept { return size; }
  bool isFolder() const noexcept { return folder; }

 private:
  std::int64_t size;
  bool folder;
};

}  // namespace zel
