#include "fleck/ops/CSnapshotRemover.h"

#include <deque>
#include <functional>
#include <set>
#include <unordered_set>

#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskError.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/CFleckDiskLink.h"
#include "fleck/CFleckDiskLock.h"
#include "fleck/CFleckDiskMark.h"
#include "fleck/ops/CDiskAccess.h"
#include "fleck/ops/CDoneWaiter.h"
#include "fleck/ops/CFleckTree.h"
#include "fleck/ops/COperationError.h"
#include "fleck/ops/CSnapshotChain.h"
#include "zel/CFileSystemError.h"

namespace fleck::ops {

// Asynchronous file-system operations, at most `size` in flight, each with a handler
// of its end that may accept an error or throw it. The first thrown error ends the
// work; the destructor still waits for what runs, so nothing outlives the locks.
class CSnapshotRemover::CWindow final {
 public:
  using Handler = std::function<void(const zel::CFileSystemError*)>;

  explicit CWindow(int size) : size(static_cast<std::size_t>(size)) {}
  CWindow(const CWindow&) = delete;
  CWindow& operator=(const CWindow&) = delete;
  ~CWindow() {
    // Only reached with operations in flight when an error is on its way out already.
    for (const Pending& pending : running) {
      try {
        pending.waiter->wait();
      } catch (const zel::CError&) {
        // The error that ended the work is the one reported.
      }
    }
  }

  void add(const std::function<void(zel::IDoneListener*)>& start, Handler handler) {
    while (running.size() >= size)
      finishOldest();
    auto waiter = zel::make<CDoneWaiter>();
    start(waiter.get());
    running.push_back(Pending{waiter, std::move(handler)});
  }
  void finish() {
    while (!running.empty())
      finishOldest();
  }

 private:
  struct Pending {
    zel::P<CDoneWaiter> waiter;
    Handler handler;
  };
  void finishOldest() {
    const Pending pending = running.front();
    running.pop_front();
    try {
      pending.waiter->wait();
    } catch (const zel::CFileSystemError& e) {
      pending.handler(&e);
      return;
    }
    pending.handler(nullptr);
  }

  std::size_t size;
  std::deque<Pending> running;
};

namespace {

// A link file's target as stored (relative or absolute), or empty when there is none.
zel::CURI storedLink(zel::IFileSystem* fs, const zel::CURI& folder, const zel::String& name) {
  CFleckDiskLink link;
  try {
    link.load(fs, folder, name);
  } catch (const zel::CFileSystemError& e) {
    if (e.getProblem() == zel::CFileSystemError::NotFound) return zel::CURI();
    throw COperationError(folder,
                          "cannot read " + name.toUTF8() + ": " + COperationError::describe(e));
  } catch (const zel::CError& e) {
    throw COperationError(
        folder, "damaged link file " + name.toUTF8() + ": " + COperationError::describe(e));
  }
  return link.getTargetURI();
}

zel::CURI resolve(const zel::CURI& holder, const zel::CURI& link) {
  if (link.isEmpty()) return link;
  return (link.isAbsolute() ? link : holder << link).toNormalized();
}

bool holdsHeader(zel::IFileSystem* fs, const zel::CURI& folder) {
  return fs->fileExists(CFleckDiskHeader::getHeaderURI(folder, 0)) ||
         fs->fileExists(CFleckDiskHeader::getHeaderURI(folder, 1));
}

// Removes a folder and everything below it, deepest first.
void deleteTree(zel::IFileSystem* fs, const zel::CURI& folder) {
  for (const zel::IFileSystem::FolderEntry& entry : fs->listFolder(folder)) {
    if (entry.folder) {
      deleteTree(fs, folder << entry.name);
    } else {
      fs->deleteFile(folder << entry.name, true);
    }
  }
  fs->deleteFolder(folder);
}

// Where a snapshot stands in its chain, as its links say now.
struct Neighbours {
  zel::CURI parentLink;  // as stored in the snapshot
  zel::CURI parent;
  zel::CURI parentsChild;  // where the parent's child link leads
  zel::CURI child;         // only a child whose parent link leads back
  bool operator==(const Neighbours&) const = default;
};

Neighbours neighboursOf(zel::IFileSystem* fs, const zel::CURI& folder, bool marked) {
  Neighbours n;
  n.parentLink = storedLink(fs, folder, CFleckDisk::getParentLinkFileName());
  n.parent = resolve(folder, n.parentLink);
  if (n.parent.isEmpty()) return n;
  if (!fs->folderExists(n.parent))
    throw COperationError(folder,
                          "its parent disk " + COperationError::show(n.parent) + " is missing");
  n.parentsChild = resolve(n.parent, storedLink(fs, n.parent, CFleckDisk::getChildLinkFileName()));
  const zel::CURI child =
      resolve(folder, storedLink(fs, folder, CFleckDisk::getChildLinkFileName()));
  if (child.isEmpty() || !fs->folderExists(child)) return n;
  if (resolve(child, storedLink(fs, child, CFleckDisk::getParentLinkFileName())) == folder) {
    n.child = child;
  } else if (!marked) {
    // An unmarked snapshot whose child does not lead back: the chain is broken, and
    // handing flecks to that disk would change what it reads.
    throw COperationError(folder, "its child link leads to " + COperationError::show(child) +
                                      ", a disk whose parent link does not lead back");
  }
  // A marked snapshot whose child leads elsewhere was relinked already.
  return n;
}

// What a removal leaves when it stops right before its end, after clearing its mark:
// the folder, empty but for an empty "fallback".
bool onlyEmptyFolders(zel::IFileSystem* fs, const zel::CURI& folder) {
  const zel::String fallback =
      CFleckDiskAuxFileBase::getAuxFileURI(folder, CFleckDiskMark::getFileName(), 1)
          .getParent()
          .getName();
  for (const zel::IFileSystem::FolderEntry& entry : fs->listFolder(folder)) {
    if (!entry.folder || entry.name != fallback || !fs->listFolder(folder << entry.name).empty())
      return false;
  }
  return true;
}

zel::P<CFleckDiskLock> lockDisk(zel::IFileSystem* fs, const zel::CURI& folder) {
  try {
    return zel::make<CFleckDiskLock>(fs, folder);
  } catch (const CFleckDiskError& e) {
    if (e.getCode() == CFleckDiskError::InUseByAnotherWriter) throw CDiskAccess::inUse(e);
    throw;
  }
}

}  // namespace

CSnapshotRemover::CSnapshotRemover(zel::P<zel::IFileSystem> fs) : fs(std::move(fs)) {}

CSnapshotRemover::Result CSnapshotRemover::remove(const zel::CURI& given, IProgress* progress) {
  const zel::CURI folder = given.toNormalized();
  const CDiskAccess access(fs);
  if (!fs->folderExists(folder))
    throw COperationError(folder, fs->exists(folder) ? "not a folder" : "no such folder");
  const bool marked = CFleckDiskMark::isPresent(fs, folder);
  if (!marked && !holdsHeader(fs, folder) && onlyEmptyFolders(fs, folder)) {
    Result result;
    result.folder = folder;
    zel::P<CFleckDiskLock> none;
    deleteDisk(folder, none, result);
    return result;
  }
  // A removal cut short may have deleted the header already; then only deleting is left.
  if (!marked || holdsHeader(fs, folder)) access.loadHeader(folder);

  Neighbours n = neighboursOf(fs, folder, marked);
  if (n.parent.isEmpty() && !marked) {
    throw COperationError(folder,
                          "this is the live disk of its chain (it has no parent): only snapshots "
                          "can be removed");
  }
  // Newest first, as every taker of more than one lock in a chain does. The parent's
  // writer moves its replaced flecks into its child: it must not run while that child
  // changes.
  std::vector<zel::P<CFleckDiskLock>> locks;
  const bool lockParent =
      !n.parent.isEmpty() &&
      (n.parentsChild == folder || (!n.child.isEmpty() && n.parentsChild == n.child));
  if (lockParent) locks.push_back(lockDisk(fs, n.parent));
  zel::P<CFleckDiskLock> ownLock = lockDisk(fs, folder);
  if (!n.child.isEmpty()) locks.push_back(lockDisk(fs, n.child));
  if (!(neighboursOf(fs, folder, marked) == n)) {
    throw COperationError(folder, "its chain changed while the removal began; try again");
  }

  Result result;
  result.folder = folder;
  if (!marked) {
    CFleckDiskMark("remove",
                   zel::String::fromUTF8("from the chain of " + COperationError::show(n.parent)))
        .store(fs, folder);
    // Each step reaches the disk before the next begins, also across a power failure.
    fs->sync(folder);
  }

  std::vector<CFleckTree::Entry> entries;
  std::unordered_set<std::int64_t> childHas;
  std::unique_ptr<CFleckTree> tree;
  if (holdsHeader(fs, folder)) {
    tree = std::make_unique<CFleckTree>(fs, access.loadHeader(folder));
    entries = tree->list(folder, nullptr);
    if (!n.child.isEmpty()) {
      for (const CFleckTree::Entry& entry : tree->list(n.child, nullptr))
        childHas.insert(entry.index);
    }
  }
  std::int64_t total = 0;
  for (const CFleckTree::Entry& entry : entries)
    total += entry.size;
  std::int64_t done = 0;
  if (progress != nullptr) progress->start(total);

  // 1. The child gets the flecks it read through this snapshot. A reader of the child
  // that misses a fleck here looks again nearer and finds it there.
  if (!n.child.isEmpty()) {
    CWindow window(parallel);
    std::set<zel::CURI> made;
    for (const CFleckTree::Entry& entry : entries) {
      if (childHas.count(entry.index) != 0) continue;
      const zel::CURI target = tree->fileOf(n.child, entry.index);
      std::vector<zel::CURI> missing;
      for (zel::CURI at = target.getParent(); at != n.child && !made.count(at); at = at.getParent())
        missing.push_back(at);
      for (auto at = missing.rbegin(); at != missing.rend(); ++at) {
        fs->createFolder(*at, 0x1ff);
        made.insert(*at);
      }
      const zel::CURI source = entry.file;
      window.add(
          [&](zel::IDoneListener* listener) {
            fs->moveAsync(source, target, zel::IFileSystem::MoveNoReplace, listener);
          },
          [&result](const zel::CFileSystemError* error) {
            // The child has the fleck already (a move cut short after its copy, where
            // moving copies): its own file is what it reads.
            if (error != nullptr && error->getProblem() != zel::CFileSystemError::AlreadyExists)
              error->throwClone();
            if (error == nullptr) ++result.movedFlecks;
          });
      done += entry.size;
      if (progress != nullptr) progress->update(done);
    }
    window.finish();
    fs->sync(n.child);
    fs->sync(folder);
  }

  // 2. The neighbours are linked to each other. The parent first: cut off here, the
  // parent's writers either refuse its child link or tie this snapshot back in, and
  // never move flecks into a disk that nothing reads.
  if (n.parentsChild == folder) {
    if (!n.child.isEmpty()) {
      CFleckDiskLink::write(fs, n.parent, CFleckDisk::getChildLinkFileName(),
                            n.child.toRelative(n.parent));
    } else {
      CFleckDiskAuxFileBase::removeAuxFile(fs, n.parent, CFleckDisk::getChildLinkFileName());
    }
    fs->sync(n.parent);
  }
  if (!n.child.isEmpty()) {
    CFleckDiskLink::write(fs, n.child, CFleckDisk::getParentLinkFileName(),
                          n.parentLink.isAbsolute() ? n.parentLink : n.parent.toRelative(n.child));
    fs->sync(n.child);
  }

  // 3. Nothing reads through the snapshot any more.
  for (const CFleckTree::Entry& entry : entries) {
    if (!n.child.isEmpty() && childHas.count(entry.index) == 0) continue;
    ++result.deletedFlecks;
    result.freedBytes += entry.size;
  }
  {
    CWindow window(parallel);
    for (const CFleckTree::Entry& entry : entries) {
      if (!n.child.isEmpty() && childHas.count(entry.index) == 0) continue;
      const zel::CURI file = entry.file;
      window.add([&](zel::IDoneListener* listener) { fs->deleteAsync(file, listener); },
                 [](const zel::CFileSystemError* error) {
                   if (error != nullptr) error->throwClone();
                 });
      done += entry.size;
      if (progress != nullptr) progress->update(done);
    }
    window.finish();
  }
  deleteDisk(folder, ownLock, result);
  if (progress != nullptr) progress->finish(done);
  return result;
}

void CSnapshotRemover::deleteDisk(const zel::CURI& folder, zel::P<CFleckDiskLock>& ownLock,
                                  Result& result) {
  if (fs->folderExists(folder << "flecks")) deleteTree(fs, folder << "flecks");
  fs->deleteFile(folder << "flecks", true);
  // The header first: from then on nothing takes the folder for a disk.
  CFleckDiskAuxFileBase::removeAuxFile(fs, folder,
                                       CFleckDiskHeader::getHeaderURI(folder, 0).getName());
  CFleckDiskAuxFileBase::removeAuxFile(fs, folder, CFleckDisk::getChildLinkFileName());
  CFleckDiskAuxFileBase::removeAuxFile(fs, folder, CFleckDisk::getParentLinkFileName());
  ownLock = nullptr;
  // The mark goes last: until then a second run knows what it finds.
  CFleckDiskMark::clear(fs, folder);
  const zel::CURI fallback =
      CFleckDiskAuxFileBase::getAuxFileURI(folder, CFleckDiskMark::getFileName(), 1).getParent();
  for (const zel::CURI& at : {fallback, folder}) {
    if (!fs->folderExists(at)) continue;
    std::vector<zel::IFileSystem::FolderEntry> entries = fs->listFolder(at);
    if (entries.empty()) {
      fs->deleteFolder(at);
      continue;
    }
    for (const zel::IFileSystem::FolderEntry& entry : entries) {
      if (at == folder && entry.name == fallback.getName()) continue;
      result.leftOver.push_back(at << entry.name);
    }
  }
}

std::vector<CSnapshotRemover::Result> CSnapshotRemover::keepLast(const zel::CURI& folder, int keep,
                                                                 IProgress* progress) {
  if (keep < 0) throw COperationError(folder, "the number of snapshots to keep is negative");
  const std::vector<zel::CURI> chain = CSnapshotChain(fs).folders(folder.toNormalized());
  std::vector<Result> results;
  // Oldest first: each is then the end of the chain, which hands nothing on.
  for (std::size_t i = chain.size(); i-- > 1 + static_cast<std::size_t>(keep);)
    results.push_back(remove(chain[i], progress));
  return results;
}

}  // namespace fleck::ops
