#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "zel/CBase.h"
#include "zel/CCompletionPool.h"
#include "zel/CFileSystemError.h"
#include "zel/IFileSystem.h"

namespace zel {

// The file system of this machine (POSIX; renames use Linux's renameat2).
//
// Locations are local absolute zel::CURIs (no scheme); CURI::toLocalPath gives the
// path. Any other location, or a component the local file system cannot store ('/' or
// NUL), fails with CFileSystemError Unsupported. Symbolic links are followed, except
// with OpenRegularOnly and by lockFile.
//
// Errors: the operating system's error number is turned into a problem in one place,
// problemOf: ENOENT and ENOTDIR (a component of the path is a file) are NotFound,
// EEXIST is AlreadyExists, ENOSYS, EOPNOTSUPP and EXDEV (a move to another file system)
// are Unsupported, anything else is Other. The cause is a zel::CError with the
// operating system's message and the properties "path" (the operating-system path),
// "errno" and "operation" ("open", "rename", ...); no "uri", callers add their own.
// Invalid arguments (an unknown mode, a negative length) are zel::CInvalidArgError.
//
// Asynchronous operations run entirely on a small pool of completion threads owned by
// the file system (zel::CCompletionPool): the system calls first, then the listener.
// The destructor runs every operation already started to the end, listeners included,
// before it returns.
//
// Stores (storeStreamAsync) write a temporary file beside the target and rename it
// into place, so the target is either absent, the old file or the whole new one, never
// a torn mix. After a power failure that holds in durable mode; without it the
// operating system may write the rename before the data. The temporary file is named
//     "." + <target name> + ".tmp-" + <process id> + "-" + <counter>
// (the target name shortened to at most kMaxTemporaryBaseBytes bytes), so it is hidden
// by the usual conventions, never has the target's suffix, and listFolder leaves it out
// (isTemporaryName); names of that pattern are reserved. On any failure the temporary
// file is removed. A crash can leave one behind; it is never mistaken for a real file.
// Without replace, the rename is renameat2(RENAME_NOREPLACE); where the file system
// lacks it (EINVAL, ENOSYS), link() followed by unlink() of the old name, which fails
// just as atomically when the target exists. moveAsync without replace does the same.
//
// Durable mode (Options::durable): a store syncs the temporary file, renames it and
// then syncs the folder; folder creations sync the parent folder; moves sync the
// target's folder (and the source's, when it differs); all before success is
// reported. flush() of streams syncs the file. Deletions and the folder entries of
// files made by openStream are not synced. A failed folder sync after a rename is
// reported as a failure although the target is in place.
//
// sync() is syncfs(2) on the file system holding the folder: one call writes back
// everything of that file system, which costs no more than syncing each file and
// folder below and cannot miss one.
//
// Capabilities: AtomicMove and AtomicNoReplaceStore (where renameat2 is missing, a move
// without replace links and unlinks: for a moment both names, never neither),
// LocksEndWithHolder, and Durable in durable mode.
//
// Thread-safe: every operation may be called from any thread at once, also from inside
// a completion. Files are not locked against other users.
class CLocalFileSystem final : public CBase, public virtual IFileSystem {
 public:
  struct Options {
    // Threads that run asynchronous operations and tell their listeners; at least 1.
    int completionThreads = 2;
    // Sync stores, folder creations and moves to the disk before they report success.
    bool durable = false;
    // For tests: refuse to replace by link() and unlink() even where renameat2 works,
    // so that the fallback path is exercised.
    bool noReplaceByLink = false;
  };

  // Longest part of a target's name (in UTF-8 bytes) kept in a temporary file's name.
  static constexpr std::size_t kMaxTemporaryBaseBytes = 200;

  CLocalFileSystem();
  explicit CLocalFileSystem(const Options& options);
  ~CLocalFileSystem() override;
  CLocalFileSystem(const CLocalFileSystem&) = delete;
  CLocalFileSystem& operator=(const CLocalFileSystem&) = delete;

  const Options& getOptions() const noexcept { return options; }

  // --- IFileSystem, synchronous ---

  // The size comes with any flags.
  P<CFileInfo> getFileInfo(const CURI& location, int flags) override;
  // Reading a file opened for writing only (and the reverse) is CIOError NotSupported.
  // AccessRead with CreateOrTruncate is CInvalidArgError. A folder cannot be opened
  // (Other). New files get permissions 0666 less the process's umask.
  P<IIOStream> openStream(const CURI& location, int access, int mode) override;
  // A file where the folder should be is AlreadyExists.
  bool createFolder(const CURI& location, int permissions) override;
  bool exists(const CURI& location) override;
  // An open file description locked with F_OFD_SETLK; the file is removed again when
  // the lock is released (see CLocalFileLock in the source).
  P<IBase> lockFile(const CURI& location, const String& holder) override;
  void breakLock(const CURI& location, bool force) override;
  void sync(const CURI& folder) override;
  int getCapabilities() const override;
  // True for a regular file.
  bool fileExists(const CURI& location) override;
  bool folderExists(const CURI& location) override;
  void deleteFile(const CURI& location, bool ignoreMissing) override;
  // A folder that is not empty is Other.
  void deleteFolder(const CURI& location) override;
  // Names are decoded from UTF-8 (malformed bytes become U+FFFD). Temporary files of
  // stores are left out; other names starting with a dot are not.
  std::vector<FolderEntry> listFolder(const CURI& location) override;

  // --- IFileSystem, asynchronous ---

  P<IAsyncOperation> moveAsync(const CURI& source, const CURI& target, int flags,
                               IDoneListener* listener) override;
  P<IAsyncOperation> createFolderAsync(const CURI& location, int permissions,
                                       IDoneListener* listener) override;
  // The source is read with read() on a completion thread; the caller must leave it
  // alone until the listener is told. A source that ends early or throws fails the
  // store with problem Other (its error as the cause), never with its own problem.
  P<IAsyncOperation> storeStreamAsync(const CURI& target, std::int64_t length, P<IInStream> source,
                                      bool replace, IDoneListener* listener) override;
  P<IAsyncOperation> deleteAsync(const CURI& location, IDoneListener* listener) override;

  // --- helpers, also for the file streams and the tests ---

  // The problem an error number of the operating system stands for; see above. The
  // one place where error numbers are told apart.
  static CFileSystemError::Problem problemOf(int errorNumber) noexcept;
  // The error for a failed system call; see above. `extra` properties are added to
  // the cause.
  static CFileSystemError makeSystemError(int errorNumber, const char* operation,
                                          const std::string& path, const CProps& extra = CProps());
  // The operating-system path of a local location; Unsupported for others.
  static std::string toLocalPath(const CURI& location);
  // The temporary file name a store of `targetName` uses (see above).
  static std::string makeTemporaryName(std::string_view targetName, long processId,
                                       std::uint64_t counter);
  // True for names of the pattern of makeTemporaryName.
  static bool isTemporaryName(std::string_view name) noexcept;

 private:
  void move(const CURI& source, const CURI& target, int flags) const;
  void makeFolder(const CURI& location, int permissions) const;
  void storeStream(const CURI& target, std::int64_t length, IInStream* source, bool replace) const;
  void removeFile(const CURI& location) const;
  // Renames without ever replacing an existing target; see above.
  void renameNoReplace(const std::string& from, const std::string& to) const;
  // Syncs a folder's entries to the disk when durable; does nothing otherwise.
  void syncFolderIfDurable(const std::string& path) const;

  const Options options;
  // Runs the asynchronous operations; its tasks use `options` through `this`, so it
  // is shut down first thing in the destructor. Thread-safe itself.
  CCompletionPool pool;
};

}  // namespace zel
