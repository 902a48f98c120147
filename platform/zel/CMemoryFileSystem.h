#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zel/CBase.h"
#include "zel/CCompletionPool.h"
#include "zel/CFileSystemError.h"
#include "zel/IFileSystem.h"

namespace zel {

// A file system that keeps its files in memory, with the contract of
// zel::CLocalFileSystem: for tests that need many file systems quickly, and for tests of
// what survives a power failure (powerLoss).
//
// Locations are local absolute zel::CURIs (no scheme), as for the local file system;
// the root folder always exists. Anything else is CFileSystemError Unsupported. Every
// file is regular (OpenRegularOnly refuses only folders, with NotRegular). Errors have
// the problems the local file system reports for the same cases (a file in the middle
// of a path is NotFound, a folder that is not empty cannot be deleted: Other, ...);
// their cause has the property "path" (the location's text).
//
// Stores are atomic: the new file is built aside and put in place in one step, so
// there are no temporary files. Locks (lockFile) are in-process: the lock file is made
// and holds the holder's text, a second taker gets Locked ("holder", "stale" = "false")
// and releasing removes the file, as locally.
//
// Durability, as a kernel keeps it: every file has its contents as read and its
// durable contents, every folder its entries and its durable entries. Durable mode
// (Options::durable) makes durable what the local file system syncs in that mode: a
// store the file and its folder's entries, a folder creation the parent's entries, a
// move the entries of both folders, a stream's flush() the file. sync(folder) makes
// the folder's whole subtree durable, and the entries that lead to it from the root.
// Nothing else is ever durable by itself (no background write-back), which is the
// worst a kernel may do. powerLoss() goes back to the durable state (see there).
//
// Asynchronous operations run on a zel::CCompletionPool of the object's own (never
// inside the starting call); the destructor finishes them. Objects made with the
// sharing constructor see the same files (as two processes would), each with its own
// completion threads; their locks exclude each other.
//
// Thread-safe: all state of the shared files is guarded by one mutex (Storage::mutex),
// held only for the moment of a step, never while a store's source is read.
class CMemoryFileSystem final : public CBase, public virtual IFileSystem {
 public:
  struct Options {
    // Threads that run asynchronous operations and tell their listeners; at least 1.
    int completionThreads = 2;
    // Make stores, folder creations, moves and flushes durable; see above.
    bool durable = false;
  };

  // A file or folder. Owned by the folders that list it (and by open streams and
  // locks); guarded by Storage::mutex.
  struct Node {
    explicit Node(bool folder) : folder(folder) {}
    const bool folder;
    std::vector<unsigned char> data;                       // a file's contents as read
    std::vector<unsigned char> durableData;                // what a power failure leaves of them
    std::map<std::string, std::shared_ptr<Node>> entries;  // a folder's, by UTF-8 name
    std::map<std::string, std::shared_ptr<Node>> durableEntries;
    std::uint64_t lockId = 0;  // the lock held on a file; 0 when free
  };

  // The files, shared by every object made on them.
  struct Storage {
    std::mutex mutex;  // guards everything below and every Node reachable from root
    const std::shared_ptr<Node> root = std::make_shared<Node>(true);
    std::uint64_t nextLockId = 1;
    // Counts power failures: streams and locks of an earlier one are dead.
    std::uint64_t era = 0;
    bool powerFailed = false;
    // Changes left before an armed power failure (-1: none armed) and its seed.
    std::int64_t changesLeft = -1;
    std::uint64_t failureSeed = 0;
  };

  CMemoryFileSystem();
  explicit CMemoryFileSystem(const Options& options);
  // Another object on the files of `sharedWith`, with its own options and threads.
  CMemoryFileSystem(const Options& options, const CMemoryFileSystem& sharedWith);
  ~CMemoryFileSystem() override;
  CMemoryFileSystem(const CMemoryFileSystem&) = delete;
  CMemoryFileSystem& operator=(const CMemoryFileSystem&) = delete;

  const Options& getOptions() const noexcept { return options; }

  // --- power failures ---

  // Drops what was not made durable, as a power failure does: every folder reachable
  // from the root gets its durable entries back and every file its durable contents.
  // With a seed other than 0, each change not yet durable survives or is lost by a
  // draw (folder entries one by one, file contents page by page, the length from
  // either side), as a kernel may have written back some of it. Locks and open
  // streams of before are dead (streams fail with Other, locks release nothing). The
  // file system works on at once.
  void powerLoss(std::uint64_t seed = 0);
  // Arms a power failure: the `changes`+1st change from now (a stream write, setLength
  // or flush, a store, move, folder creation, deletion, lock or sync) does not happen;
  // powerLoss(seed) happens instead, and from then on every operation fails with Other
  // until powerOn().
  void powerLossAfter(std::int64_t changes, std::uint64_t seed);
  // Ends a failure armed by powerLossAfter (and disarms one not yet reached).
  void powerOn();
  // True from an armed failure until powerOn().
  bool hasPowerFailed() const;

  // --- IFileSystem, synchronous ---

  P<CFileInfo> getFileInfo(const CURI& location, int flags) override;
  P<IIOStream> openStream(const CURI& location, int access, int mode) override;
  bool createFolder(const CURI& location, int permissions) override;
  bool exists(const CURI& location) override;
  bool fileExists(const CURI& location) override;
  bool folderExists(const CURI& location) override;
  void deleteFile(const CURI& location, bool ignoreMissing) override;
  void deleteFolder(const CURI& location) override;
  std::vector<FolderEntry> listFolder(const CURI& location) override;
  P<IBase> lockFile(const CURI& location, const String& holder) override;
  // Locks end with their holder: nothing is ever broken; Locked while one is held.
  void breakLock(const CURI& location, bool force) override;
  void sync(const CURI& folder) override;
  // AtomicMove, AtomicNoReplaceStore, LocksEndWithHolder; Durable in durable mode.
  int getCapabilities() const override;

  // --- IFileSystem, asynchronous ---

  P<IAsyncOperation> moveAsync(const CURI& source, const CURI& target, int flags,
                               IDoneListener* listener) override;
  P<IAsyncOperation> createFolderAsync(const CURI& location, int permissions,
                                       IDoneListener* listener) override;
  // The source is read on a completion thread, outside the lock.
  P<IAsyncOperation> storeStreamAsync(const CURI& target, std::int64_t length, P<IInStream> source,
                                      bool replace, IDoneListener* listener) override;
  P<IAsyncOperation> deleteAsync(const CURI& location, IDoneListener* listener) override;

  // --- for the streams ---

  // Throws Other when the power is off or failed since `era`. Called with the lock.
  static void checkPower(const Storage& storage, std::uint64_t era);
  // Counts one change against an armed failure, which it may set off (and throw).
  // Called with the lock.
  static void beginChange(Storage& storage);

 private:
  void move(const CURI& source, const CURI& target, int flags);
  void makeFolder(const CURI& location, bool existingIsFine, bool& created);
  void storeStream(const CURI& target, std::int64_t length, IInStream* source, bool replace);
  void removeFile(const CURI& location, bool ignoreMissing, const char* operation);

  const Options options;
  const std::shared_ptr<Storage> storage;
  // Runs the asynchronous operations, which use `storage` through `this`: shut down
  // first thing in the destructor. Thread-safe itself.
  CCompletionPool pool;
};

}  // namespace zel
