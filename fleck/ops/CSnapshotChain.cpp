#include "fleck/ops/CSnapshotChain.h"

#include <unordered_set>

#include "fleck/CFleckDiskMark.h"
#include "fleck/ops/CDiskAccess.h"
#include "fleck/ops/CFleckTree.h"

namespace fleck::ops {

CSnapshotChain::CSnapshotChain(zel::P<zel::IFileSystem> fs) : fs(std::move(fs)) {}

std::vector<zel::CURI> CSnapshotChain::folders(const zel::CURI& folder) const {
  const CDiskAccess access(fs);
  access.loadHeader(folder);
  access.checkParents(folder);
  std::vector<zel::CURI> chain = access.parentsOf(folder);
  std::reverse(chain.begin(), chain.end());
  chain.push_back(folder);
  for (const zel::CURI& child : access.childrenOf(folder))
    chain.push_back(child);
  return chain;
}

std::vector<CSnapshotChain::Disk> CSnapshotChain::list(const zel::CURI& folder) const {
  const CDiskAccess access(fs);
  std::vector<Disk> disks;
  std::vector<std::unordered_set<std::int64_t>> held;
  std::vector<std::vector<CFleckTree::Entry>> entries;
  for (const zel::CURI& member : folders(folder)) {
    Disk disk;
    disk.folder = member;
    disk.unfinished = CFleckDiskMark::isPresent(fs, member);
    CFleckTree tree(fs, access.loadHeader(member));
    entries.push_back(tree.list(member, nullptr));
    held.emplace_back();
    for (const CFleckTree::Entry& entry : entries.back()) {
      ++disk.storedFlecks;
      disk.storedBytes += entry.size;
      held.back().insert(entry.index);
    }
    disks.push_back(disk);
  }
  // The live disk stays; a snapshot's flecks that its child lacks move there.
  for (std::size_t i = 1; i < disks.size(); ++i) {
    disks[i].freedByRemoving = 0;
    for (const CFleckTree::Entry& entry : entries[i]) {
      if (i + 1 == disks.size() || held[i + 1].count(entry.index) != 0)
        disks[i].freedByRemoving += entry.size;
    }
  }
  return disks;
}

}  // namespace fleck::ops
