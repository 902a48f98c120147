#pragma once

#include <cstdint>
#include <vector>

#include "zel/CFileInfo.h"
#include "zel/CURI.h"
#include "zel/IAsyncOperation.h"
#include "zel/IBase.h"
#include "zel/IDoneListener.h"
#include "zel/IIOStream.h"
#include "zel/IInStream.h"
#include "zel/P.h"
#include "zel/String.h"

namespace zel {

// The file system the library works on; it touches files in no other way. Every
// implementation keeps the contract below, which the conformance tests pin:
// zel::CLocalFileSystem (this machine's files), zel::CMemoryFileSystem (files in memory,
// for tests, with power failures on demand), s3::CS3FileSystem (an S3 object store) and
// the forwarding zel::CFileSystemWrapper with what derives from it.
//
// Errors are zel::CFileSystemError with problem NotFound (a file or folder of the path
// does not exist), AlreadyExists (the target exists), Unsupported, or Other (anything
// else; the operating system's message and the path are among the properties).
//
// Threads: every operation may be called from any thread, also from inside a
// completion. Asynchronous operations report exactly once to their listener, on a
// completion thread owned by the file system, never inside the call that started them.
class IFileSystem : public virtual IBase {
 public:
  enum OpenMode : int {
    OpenExisting = 0,      // the file must exist (NotFound otherwise)
    CreateNew = 1,         // the file must not exist (AlreadyExists otherwise)
    CreateOrTruncate = 2,  // afterwards the file holds exactly what is written
    OpenOrCreate = 3,      // keep the contents of an existing file
  };
  // Or'ed into an openStream mode: open only a regular file, never through a symbolic
  // link as the last component, and never block while opening. Anything else (a link,
  // a FIFO, a device, a folder) fails at once with problem NotRegular. For files that
  // come from a store of possibly foreign content (fleck files, metadata files).
  static constexpr int OpenRegularOnly = 0x100;
  enum InfoFlags : int { InfoSize = 1 };
  enum MoveFlags : int { MoveNoReplace = 0, MoveReplace = 1 };

  // What a file system promises beyond the contract; getCapabilities() or's them.
  enum Capability : int {
    // A move is one step: with MoveNoReplace, of racing moves to one target exactly one
    // wins, and no moment (not even after a crash) finds the file under neither name.
    // Without it a move may copy and then delete: both names for a while, and racing
    // moves may both succeed.
    AtomicMove = 1,
    // storeStreamAsync without replace refuses an existing target atomically: of racing
    // stores to one target exactly one wins.
    AtomicNoReplaceStore = 2,
    // Stores, moves and folder creations that reported success, and what a stream held
    // when its flush() returned, survive a power failure without sync(). Deletions and
    // the folder entries of files made by openStream may still need sync().
    Durable = 4,
    // A lock ends with its holder (the kernel drops the locks of ended processes): it is
    // never stale, and breakLock never takes it away from a live holder, even forced.
    LocksEndWithHolder = 8,
  };

  struct FolderEntry {
    String name;
    bool folder = false;
  };

  // --- synchronous operations ---

  // Size and kind of a file or folder; NotFound when it does not exist.
  virtual P<CFileInfo> getFileInfo(const CURI& location, int flags) = 0;
  // Opens a file as a stream; `access` is an IIOStream::Access, `mode` an OpenMode.
  virtual P<IIOStream> openStream(const CURI& location, int access, int mode) = 0;
  // Creates a folder (its parent must exist). An existing folder is accepted: the
  // result tells whether it was created now.
  virtual bool createFolder(const CURI& location, int permissions) = 0;
  virtual bool exists(const CURI& location) = 0;
  virtual bool fileExists(const CURI& location) = 0;
  virtual bool folderExists(const CURI& location) = 0;
  // Removes a file. A missing file is NotFound unless ignoreMissing is true.
  virtual void deleteFile(const CURI& location, bool ignoreMissing) = 0;
  // Removes an empty folder.
  virtual void deleteFolder(const CURI& location) = 0;
  // Names of the entries of a folder, in no particular order; temporary files of the
  // file system's own stores are left out.
  virtual std::vector<FolderEntry> listFolder(const CURI& location) = 0;

  // Takes the exclusive lock kept through the file `location` (made when missing) for
  // `holder`, a short text that describes the taker and that others get to read. Two
  // takers exclude each other whether they are in two processes or in one. The lock is
  // held until the last reference to the returned object goes. Fails with problem
  // Locked when another holder has it; that error's properties then carry "holder"
  // (what the holder wrote, when it can be read) and "stale" ("true" only where the
  // file system cannot see whether the holder lives and the holder stopped renewing).
  virtual P<IBase> lockFile(const CURI& location, const String& holder) = 0;
  // Removes a lock left behind by a holder that ended without releasing it. Where the
  // file system itself releases the locks of ended processes (local files), there is
  // nothing to break: it fails with Locked while a live holder has the lock and does
  // nothing otherwise. Elsewhere it removes the lock unless a holder renewed it
  // recently (Locked), or whatever its state when `force` is true.
  virtual void breakLock(const CURI& location, bool force) = 0;

  // Makes everything stored in `folder` and below it so far (file contents, folder
  // entries, deletions) survive a power failure, and the folder itself. May do more (a
  // whole local file system at once). NotFound when the folder does not exist, where
  // folders are real.
  virtual void sync(const CURI& folder) = 0;
  // The Capability bits this file system has, for every location it takes.
  virtual int getCapabilities() const = 0;

  // --- asynchronous operations ---

  // Moves a file. With MoveNoReplace fails with AlreadyExists when the target exists,
  // and with NotFound when the source or the target's folder is missing; nothing is
  // overwritten.
  virtual P<IAsyncOperation> moveAsync(const CURI& source, const CURI& target, int flags,
                                       IDoneListener* listener) = 0;
  // Creates one folder: AlreadyExists when it exists, NotFound when its parent does not.
  virtual P<IAsyncOperation> createFolderAsync(const CURI& location, int permissions,
                                               IDoneListener* listener) = 0;
  // Stores `length` bytes read from `source` as the file `target`, all or nothing: the
  // bytes go to a temporary file beside the target that is renamed into place. With
  // replace false an existing target is never overwritten (AlreadyExists), atomically.
  virtual P<IAsyncOperation> storeStreamAsync(const CURI& target, std::int64_t length,
                                              P<IInStream> source, bool replace,
                                              IDoneListener* listener) = 0;
  // Removes a file; a file that does not exist counts as removed.
  virtual P<IAsyncOperation> deleteAsync(const CURI& location, IDoneListener* listener) = 0;
};

}  // namespace zel
