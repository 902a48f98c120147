#include "CHoleMap.h"

#include <algorithm>

namespace fleck::nbd {

CHoleMap::CHoleMap(zel::P<zel::IFileSystem> fs, const CFleckDisk& disk)
    : fs(fs), tree(fs, disk.getHeader()), fleckSize(disk.getFleckSize()), size(disk.getSize()) {
  folders.push_back(disk.getDiskFolder());
  for (const zel::CURI& parent : disk.getParentDiskFolders())
    folders.push_back(parent);
}

bool CHoleMap::isStored(std::int64_t index) {
  // The same path below every folder of the chain names the same fleck.
  for (const zel::CURI& folder : folders) {
    if (fs->exists(tree.fileOf(folder, index))) return true;
  }
  return false;
}

std::vector<CHoleMap::Extent> CHoleMap::map(std::int64_t offset, std::int64_t count,
                                            bool firstOnly) {
  std::vector<Extent> extents;
  if (offset < 0 || count <= 0 || offset >= size) return extents;
  const std::int64_t end = std::min(size, offset + std::min(count, size - offset));
  std::int64_t position = offset;
  std::int64_t looked = 0;
  while (position < end && looked < kMaxFlecks) {
    const std::int64_t index = position / fleckSize;
    const std::int64_t fleckEnd = std::min(end, (index + 1) * fleckSize);
    const bool zero = !isStored(index);
    ++looked;
    if (!extents.empty() && extents.back().zero == zero) {
      extents.back().length += fleckEnd - position;
    } else {
      if (firstOnly && !extents.empty()) break;
      extents.push_back(Extent{position, fleckEnd - position, zero});
    }
    position = fleckEnd;
  }
  return extents;
}

}  // namespace fleck::nbd
