#include "zel/CMemoryFileSystem.h"

#include <algorithm>
#include <random>
#include <set>

#include "zel/CError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CMemoryFileStream.h"
#include "zel/CStdExceptionError.h"
#include "zel/Log.h"

namespace zel {

namespace {

constexpr const char* kSource = "zel::CMemoryFileSystem";
// Bytes read from a store's source at a time.
constexpr std::int64_t kCopyChunk = 256 * 1024;
// What a power failure keeps or loses of a file's contents at a time, as a kernel's
// page cache writes them back.
constexpr std::size_t kPageSize = 4096;

using Node = CMemoryFileSystem::Node;
using Storage = CMemoryFileSystem::Storage;
using Path = std::vector<std::string>;

CFileSystemError makeError(CFileSystemError::Problem problem, const char* message,
                           const CURI& location, CProps extra = CProps()) {
  extra.add("path", location.toString(false));
  return CFileSystemError(problem, CError(message, kSource, -1, extra));
}

CInvalidArgError invalidArgument(const char* operation, const char* message, CProps props) {
  return CInvalidArgError(String(kSource) + String("::") + String(operation), message,
                          std::move(props));
}

// The components of a location, in UTF-8; Unsupported for what the local file system
// would not take either.
Path pathOf(const CURI& location) {
  try {
    (void)location.toLocalPath();
  } catch (const CInvalidArgError& e) {
    throw CFileSystemError(CFileSystemError::Unsupported, CError(e.getMessage(), kSource));
  }
  const CURI normalized = location.toNormalized();
  Path path;
  for (const String& component : normalized.getComponents())
    path.push_back(component.toUTF8());
  return path;
}

// The node at the first `count` components of `path`; null when one is missing or a
// file stands where a folder should.
std::shared_ptr<Node> lookup(const Storage& storage, const Path& path, std::size_t count) {
  std::shared_ptr<Node> node = storage.root;
  for (std::size_t i = 0; i < count; ++i) {
    if (!node->folder) return nullptr;
    const auto found = node->entries.find(path[i]);
    if (found == node->entries.end()) return nullptr;
    node = found->second;
  }
  return node;
}

std::shared_ptr<Node> lookup(const Storage& storage, const Path& path) {
  return lookup(storage, path, path.size());
}

// The folder that holds (or would hold) the last component; NotFound when missing.
std::shared_ptr<Node> parentOf(const Storage& storage, const Path& path, const CURI& location) {
  std::shared_ptr<Node> parent = path.empty() ? nullptr : lookup(storage, path, path.size() - 1);
  if (parent == nullptr || !parent->folder) {
    throw makeError(CFileSystemError::NotFound, "the folder does not exist", location);
  }
  return parent;
}

// Makes a node and everything below it durable.
void makeDurable(Node& node, std::set<const Node*>& seen) {
  if (!seen.insert(&node).second) return;
  if (!node.folder) {
    node.durableData = node.data;
    return;
  }
  node.durableEntries = node.entries;
  for (auto& [name, child] : node.entries)
    makeDurable(*child, seen);
}

// A file's contents after a power failure, drawn page by page from what is durable and
// what is not.
std::vector<unsigned char> drawContents(const Node& file, std::mt19937_64& random) {
  const std::vector<unsigned char>* sides[2] = {&file.durableData, &file.data};
  std::vector<unsigned char> result(sides[random() % 2]->size(), 0);
  for (std::size_t page = 0; page < result.size(); page += kPageSize) {
    const std::vector<unsigned char>& side = *sides[random() % 2];
    const std::size_t end = std::min({page + kPageSize, result.size(), side.size()});
    if (end > page) std::copy(side.begin() + page, side.begin() + end, result.begin() + page);
  }
  return result;
}

// Puts a node and what lies below it into the state a power failure leaves.
void dropBelow(Node& node, std::mt19937_64* random, std::set<const Node*>& seen) {
  if (!seen.insert(&node).second) return;
  // The kernel's locks died with the processes.
  node.lockId = 0;
  if (!node.folder) {
    if (node.data != node.durableData) {
      node.data = random != nullptr ? drawContents(node, *random) : node.durableData;
    }
    node.durableData = node.data;
    return;
  }
  if (random != nullptr) {
    std::set<std::string> names;
    for (const auto& [name, child] : node.entries)
      names.insert(name);
    for (const auto& [name, child] : node.durableEntries)
      names.insert(name);
    std::map<std::string, std::shared_ptr<Node>> kept;
    for (const std::string& name : names) {
      const auto now = node.entries.find(name);
      const auto durable = node.durableEntries.find(name);
      const bool lose = (*random)() % 2 == 0;
      const auto& chosen = lose ? durable : now;
      const auto& chosenEnd = lose ? node.durableEntries.end() : node.entries.end();
      if (chosen != chosenEnd) kept[name] = chosen->second;
    }
    node.entries = std::move(kept);
  } else {
    node.entries = node.durableEntries;
  }
  node.durableEntries = node.entries;
  for (auto& [name, child] : node.entries)
    dropBelow(*child, random, seen);
}

void dropWhatIsNotDurable(Storage& storage, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::set<const Node*> seen;
  dropBelow(*storage.root, seed != 0 ? &random : nullptr, seen);
  ++storage.era;
}

CFileSystemError lockedBy(const Node& file, const CURI& location) {
  CProps props;
  props.add("holder", String::fromUTF8(std::string(file.data.begin(), file.data.end())));
  props.add("stale", "false");
  return makeError(CFileSystemError::Locked, "the lock is held", location, props);
}

// A lock of lockFile: held while the object lives, unless a power failure ended it.
// Releasing removes the lock file while its name still leads to it, as locally.
class CMemoryFileLock final : public CBase {
 public:
  CMemoryFileLock(std::shared_ptr<Storage> storage, std::shared_ptr<Node> folder, std::string name,
                  std::shared_ptr<Node> file, std::uint64_t id)
      : storage(std::move(storage)),
        folder(std::move(folder)),
        name(std::move(name)),
        file(std::move(file)),
        id(id) {}
  ~CMemoryFileLock() override {
    std::lock_guard<std::mutex> lock(storage->mutex);
    if (file->lockId != id) return;  // a power failure ended it
    file->lockId = 0;
    const auto found = folder->entries.find(name);
    if (found != folder->entries.end() && found->second == file) folder->entries.erase(found);
  }
  CMemoryFileLock(const CMemoryFileLock&) = delete;
  CMemoryFileLock& operator=(const CMemoryFileLock&) = delete;

 private:
  // All immutable; the nodes are guarded by storage->mutex.
  const std::shared_ptr<Storage> storage;
  const std::shared_ptr<Node> folder;
  const std::string name;
  const std::shared_ptr<Node> file;
  const std::uint64_t id;
};

}  // namespace

CMemoryFileSystem::CMemoryFileSystem() : CMemoryFileSystem(Options()) {}

CMemoryFileSystem::CMemoryFileSystem(const Options& options)
    : options(options), storage(std::make_shared<Storage>()), pool(options.completionThreads) {}

CMemoryFileSystem::CMemoryFileSystem(const Options& options, const CMemoryFileSystem& sharedWith)
    : options(options), storage(sharedWith.storage), pool(options.completionThreads) {}

CMemoryFileSystem::~CMemoryFileSystem() {
  try {
    pool.shutdown();
  } catch (const std::exception& e) {
    onExceptionInDestructorIgnored(kSource, e, true);
  }
}

// --- power failures ---

void CMemoryFileSystem::checkPower(const Storage& storage, std::uint64_t era) {
  if (storage.powerFailed) {
    throw CFileSystemError(CFileSystemError::Other, CError("the power is off", kSource));
  }
  if (era != storage.era) {
    throw CFileSystemError(CFileSystemError::Other,
                           CError("the power failed since the file was opened", kSource));
  }
}

void CMemoryFileSystem::beginChange(Storage& storage) {
  if (storage.changesLeft < 0) return;
  if (storage.changesLeft > 0) {
    --storage.changesLeft;
    return;
  }
  storage.changesLeft = -1;
  dropWhatIsNotDurable(storage, storage.failureSeed);
  storage.powerFailed = true;
  checkPower(storage, storage.era);
}

void CMemoryFileSystem::powerLoss(std::uint64_t seed) {
  std::lock_guard<std::mutex> lock(storage->mutex);
  dropWhatIsNotDurable(*storage, seed);
}

void CMemoryFileSystem::powerLossAfter(std::int64_t changes, std::uint64_t seed) {
  std::lock_guard<std::mutex> lock(storage->mutex);
  storage->changesLeft = std::max<std::int64_t>(changes, 0);
  storage->failureSeed = seed;
}

void CMemoryFileSystem::powerOn() {
  std::lock_guard<std::mutex> lock(storage->mutex);
  storage->powerFailed = false;
  storage->changesLeft = -1;
}

bool CMemoryFileSystem::hasPowerFailed() const {
  std::lock_guard<std::mutex> lock(storage->mutex);
  return storage->powerFailed;
}

// --- synchronous operations ---

P<CFileInfo> CMemoryFileSystem::getFileInfo(const CURI& location, int) {
  const Path path = pathOf(location);
  std::lock_guard<std::mutex> lock(storage->mutex);
  checkPower(*storage, storage->era);
  const std::shared_ptr<Node> node = lookup(*storage, path);
  if (node == nullptr) throw makeError(CFileSystemError::NotFound, "not found", location);
  return make<CFileInfo>(node->folder ? 0 : static_cast<std::int64_t>(node->data.size()),
                         node->folder);
}

P<IIOStream> CMemoryFileSystem::openStream(const CURI& location, int access, int mode) {
  const bool regularOnly = (mode & OpenRegularOnly) != 0;
  mode &= ~OpenRegularOnly;
  if (access != IIOStream::AccessRead && access != IIOStream::AccessWrite &&
      access != IIOStream::AccessReadWrite) {
    throw invalidArgument("openStream", "unknown access", CProps().add("access", access));
  }
  if (mode < OpenExisting || mode > OpenOrCreate) {
    throw invalidArgument("openStream", "unknown open mode", CProps().add("mode", mode));
  }
  if (mode == CreateOrTruncate && access == IIOStream::AccessRead) {
    throw invalidArgument("openStream", "truncating needs write access",
                          CProps().add("access", access).add("mode", mode));
  }
  const Path path = pathOf(location);
  std::lock_guard<std::mutex> lock(storage->mutex);
  checkPower(*storage, storage->era);
  std::shared_ptr<Node> node = lookup(*storage, path);
  if (node != nullptr && mode == CreateNew) {
    throw makeError(CFileSystemError::AlreadyExists, "the file exists", location);
  }
  if (node != nullptr && node->folder) {
    if (regularOnly) throw makeError(CFileSystemError::NotRegular, "not a regular file", location);
    throw makeError(CFileSystemError::Other, "a folder is no stream", location);
  }
  if (node == nullptr) {
    if (mode == OpenExisting) throw makeError(CFileSystemError::NotFound, "not found", location);
    const std::shared_ptr<Node> parent = parentOf(*storage, path, location);
    beginChange(*storage);
    node = std::make_shared<Node>(false);
    parent->entries[path.back()] = node;
  } else if (mode == CreateOrTruncate) {
    beginChange(*storage);
    node->data.clear();
  }
  return make<CMemoryFileStream>(storage, node, location, access, options.durable, storage->era);
}

bool CMemoryFileSystem::createFolder(const CURI& location, int) {
  bool created = false;
  makeFolder(location, true, created);
  return created;
}

bool CMemoryFileSystem::exists(const CURI& location) {
  const Path path = pathOf(location);
  std::lock_guard<std::mutex> lock(storage->mutex);
  checkPower(*storage, storage->era);
  return lookup(*storage, path) != nullptr;
}

bool CMemoryFileSystem::fileExists(const CURI& location) {
  const Path path = pathOf(location);
  std::lock_guard<std::mutex> lock(storage->mutex);
  checkPower(*storage, storage->era);
  const std::shared_ptr<Node> node = lookup(*storage, path);
  return node != nullptr && !node->folder;
}

bool CMemoryFileSystem::folderExists(const CURI& location) {
  const Path path = pathOf(location);
  std::lock_guard<std::mutex> lock(storage->mutex);
  checkPower(*storage, storage->era);
  const std::shared_ptr<Node> node = lookup(*storage, path);
  return node != nullptr && node->folder;
}

void CMemoryFileSystem::deleteFile(const CURI& location, bool ignoreMissing) {
  removeFile(location, ignoreMissing, "deleteFile");
}

void CMemoryFileSystem::deleteFolder(const CURI& location) {
  const Path path = pathOf(location);
  std::lock_guard<std::mutex> lock(storage->mutex);
  checkPower(*storage, storage->era);
  const std::shared_ptr<Node> node = lookup(*storage, path);
  if (node == nullptr || !node->folder) {
    throw makeError(CFileSystemError::NotFound, "no such folder", location);
  }
  if (path.empty()) throw makeError(CFileSystemError::Other, "the root stays", location);
  if (!node->entries.empty()) {
    throw makeError(CFileSystemError::Other, "the folder is not empty", location);
  }
  beginChange(*storage);
  lookup(*storage, path, path.size() - 1)->entries.erase(path.back());
}

std::vector<IFileSystem::FolderEntry> CMemoryFileSystem::listFolder(const CURI& location) {
  const Path path = pathOf(location);
  std::lock_guard<std::mutex> lock(storage->mutex);
  checkPower(*storage, storage->era);
  const std::shared_ptr<Node> node = lookup(*storage, path);
  if (node == nullptr || !node->folder) {
    throw makeError(CFileSystemError::NotFound, "no such folder", location);
  }
  std::vector<FolderEntry> entries;
  for (const auto& [name, child] : node->entries)
    entries.push_back(FolderEntry{String::fromUTF8(name), child->folder});
  return entries;
}

P<IBase> CMemoryFileSystem::lockFile(const CURI& location, const String& holder) {
  const Path path = pathOf(location);
  std::lock_guard<std::mutex> lock(storage->mutex);
  checkPower(*storage, storage->era);
  const std::shared_ptr<Node> parent = parentOf(*storage, path, location);
  const auto found = parent->entries.find(path.back());
  std::shared_ptr<Node> file = found != parent->entries.end() ? found->second : nullptr;
  if (file != nullptr && file->folder) {
    throw makeError(CFileSystemError::NotRegular, "not a regular file", location);
  }
  if (file != nullptr && file->lockId != 0) throw lockedBy(*file, location);
  beginChange(*storage);
  if (file == nullptr) {
    file = std::make_shared<Node>(false);
    parent->entries[path.back()] = file;
  }
  const std::string text = holder.toUTF8();
  file->data.assign(text.begin(), text.end());
  file->lockId = storage->nextLockId++;
  return make<CMemoryFileLock>(storage, parent, path.back(), file, file->lockId);
}

void CMemoryFileSystem::breakLock(const CURI& location, bool) {
  // Locks end with their holders (the objects): a held lock has a live holder.
  const Path path = pathOf(location);
  std::lock_guard<std::mutex> lock(storage->mutex);
  checkPower(*storage, storage->era);
  const std::shared_ptr<Node> file = lookup(*storage, path);
  if (file == nullptr) return;
  if (file->folder) throw makeError(CFileSystemError::NotRegular, "not a regular file", location);
  if (file->lockId != 0) throw lockedBy(*file, location);
}

void CMemoryFileSystem::sync(const CURI& folder) {
  const Path path = pathOf(folder);
  std::lock_guard<std::mutex> lock(storage->mutex);
  checkPower(*storage, storage->era);
  const std::shared_ptr<Node> node = lookup(*storage, path);
  if (node == nullptr || !node->folder) {
    throw makeError(CFileSystemError::NotFound, "no such folder", folder);
  }
  beginChange(*storage);
  // The way to the folder, then everything below it.
  std::shared_ptr<Node> step = storage->root;
  for (const std::string& name : path) {
    step->durableEntries[name] = step->entries[name];
    step = step->entries[name];
  }
  std::set<const Node*> seen;
  makeDurable(*node, seen);
}

int CMemoryFileSystem::getCapabilities() const {
  return AtomicMove | AtomicNoReplaceStore | LocksEndWithHolder | (options.durable ? Durable : 0);
}

// --- asynchronous operations ---

P<IAsyncOperation> CMemoryFileSystem::moveAsync(const CURI& source, const CURI& target, int flags,
                                                IDoneListener* listener) {
  return pool.submit([this, source, target, flags] { move(source, target, flags); }, listener);
}

P<IAsyncOperation> CMemoryFileSystem::createFolderAsync(const CURI& location, int,
                                                        IDoneListener* listener) {
  return pool.submit(
      [this, location] {
        bool created = false;
        makeFolder(location, false, created);
      },
      listener);
}

P<IAsyncOperation> CMemoryFileSystem::storeStreamAsync(const CURI& target, std::int64_t length,
                                                       P<IInStream> source, bool replace,
                                                       IDoneListener* listener) {
  return pool.submit(
      [this, target, length, source, replace] { storeStream(target, length, source, replace); },
      listener);
}

P<IAsyncOperation> CMemoryFileSystem::deleteAsync(const CURI& location, IDoneListener* listener) {
  return pool.submit([this, location] { removeFile(location, true, "deleteAsync"); }, listener);
}

void CMemoryFileSystem::move(const CURI& source, const CURI& target, int flags) {
  if (flags != MoveNoReplace && flags != MoveReplace) {
    throw invalidArgument("moveAsync", "unknown move flags", CProps().add("flags", flags));
  }
  const Path from = pathOf(source);
  const Path to = pathOf(target);
  std::lock_guard<std::mutex> lock(storage->mutex);
  checkPower(*storage, storage->era);
  const std::shared_ptr<Node> node = lookup(*storage, from);
  if (node == nullptr) throw makeError(CFileSystemError::NotFound, "no such file", source);
  const std::shared_ptr<Node> targetFolder = parentOf(*storage, to, target);
  if (from.empty() || (node->folder && to.size() >= from.size() &&
                       std::equal(from.begin(), from.end(), to.begin()))) {
    throw makeError(CFileSystemError::Other, "a folder cannot move into itself", target);
  }
  const auto existing = targetFolder->entries.find(to.back());
  if (existing != targetFolder->entries.end()) {
    if (flags == MoveNoReplace) {
      throw makeError(CFileSystemError::AlreadyExists, "the target exists", target);
    }
    if (existing->second == node) return;
    if (existing->second->folder || node->folder) {
      throw makeError(CFileSystemError::Other, "a folder is replaced only by a folder", target);
    }
  }
  beginChange(*storage);
  const std::shared_ptr<Node> sourceFolder = lookup(*storage, from, from.size() - 1);
  sourceFolder->entries.erase(from.back());
  targetFolder->entries[to.back()] = node;
  if (options.durable) {
    targetFolder->durableEntries = targetFolder->entries;
    sourceFolder->durableEntries = sourceFolder->entries;
  }
}

void CMemoryFileSystem::makeFolder(const CURI& location, bool existingIsFine, bool& created) {
  const Path path = pathOf(location);
  std::lock_guard<std::mutex> lock(storage->mutex);
  checkPower(*storage, storage->era);
  const std::shared_ptr<Node> node = lookup(*storage, path);
  if (node != nullptr) {
    if (node->folder && existingIsFine) return;
    throw makeError(CFileSystemError::AlreadyExists, "it exists", location);
  }
  const std::shared_ptr<Node> parent = parentOf(*storage, path, location);
  beginChange(*storage);
  parent->entries[path.back()] = std::make_shared<Node>(true);
  if (options.durable) parent->durableEntries = parent->entries;
  created = true;
}

void CMemoryFileSystem::storeStream(const CURI& target, std::int64_t length, IInStream* source,
                                    bool replace) {
  if (length < 0 || source == nullptr) {
    throw invalidArgument("storeStreamAsync", "negative length or no source",
                          CProps().add("length", length));
  }
  const Path path = pathOf(target);
  if (path.empty()) {
    throw invalidArgument("storeStreamAsync", "the root folder cannot be stored to", CProps());
  }
  {
    // A missing folder is told before the source is read, as locally.
    std::lock_guard<std::mutex> lock(storage->mutex);
    checkPower(*storage, storage->era);
    parentOf(*storage, path, target);
  }
  auto file = std::make_shared<Node>(false);
  file->data.resize(static_cast<std::size_t>(length));
  for (std::int64_t done = 0; done < length;) {
    const int piece = static_cast<int>(std::min(length - done, kCopyChunk));
    try {
      source->read(file->data.data() + done, piece);
    } catch (const std::exception& e) {
      // Whatever the source reports is no problem of the target (see the local one).
      const P<CError> sourceError = CStdExceptionError::exceptionToError(e);
      const CError cause(
          "Reading the data to store failed", kSource, -1,
          CProps().add("path", target.toString(false)).add("length", length).add("stored", done),
          sourceError.get());
      throw CFileSystemError(CFileSystemError::Other, cause);
    }
    done += piece;
  }
  std::lock_guard<std::mutex> lock(storage->mutex);
  checkPower(*storage, storage->era);
  const std::shared_ptr<Node> parent = parentOf(*storage, path, target);
  const auto existing = parent->entries.find(path.back());
  if (existing != parent->entries.end()) {
    if (!replace) throw makeError(CFileSystemError::AlreadyExists, "the target exists", target);
    if (existing->second->folder) {
      throw makeError(CFileSystemError::Other, "a folder cannot be stored over", target);
    }
  }
  beginChange(*storage);
  if (options.durable) file->durableData = file->data;
  parent->entries[path.back()] = file;
  if (options.durable) parent->durableEntries = parent->entries;
}

void CMemoryFileSystem::removeFile(const CURI& location, bool ignoreMissing,
                                   const char* operation) {
  const Path path = pathOf(location);
  std::lock_guard<std::mutex> lock(storage->mutex);
  checkPower(*storage, storage->era);
  const std::shared_ptr<Node> node = lookup(*storage, path);
  if (node == nullptr) {
    if (ignoreMissing) return;
    throw makeError(CFileSystemError::NotFound, "no such file", location,
                    CProps().add("operation", operation));
  }
  if (node->folder) {
    throw makeError(CFileSystemError::Other, "a folder is no file", location,
                    CProps().add("operation", operation));
  }
  beginChange(*storage);
  lookup(*storage, path, path.size() - 1)->entries.erase(path.back());
}

}  // namespace zel
