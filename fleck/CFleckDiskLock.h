#pragma once

#include "zel/CBase.h"
#include "zel/CURI.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"
#include "zel/String.h"

namespace fleck {

// The writer lock of a disk: at most one open writer per disk folder, across processes
// and within one. It is kept through the file "writer.flecklock" in the disk folder by
// the file system's lockFile (on local folders a kernel lock, which a killed process
// never leaves behind; on object stores a lock object that its holder renews). Held
// while the object lives; readers take no lock.
//
// Immutable after construction; any thread.
class CFleckDiskLock final : public zel::CBase {
 public:
  static zel::String getLockFileName() { return "writer.flecklock"; }
  static zel::CURI getLockURI(const zel::CURI& diskFolder) {
    return diskFolder << getLockFileName();
  }

  // Takes the lock of the disk in `diskFolder`. Throws CFleckDiskError InUse (with the
  // holder's description, "holder", and "stale") when another writer has it, and the
  // file system's errors otherwise.
  explicit CFleckDiskLock(zel::IFileSystem* fs, const zel::CURI& diskFolder);
  ~CFleckDiskLock() override = default;
  CFleckDiskLock(const CFleckDiskLock&) = delete;
  CFleckDiskLock& operator=(const CFleckDiskLock&) = delete;

  // Removes a lock that a writer left behind (see zel::IFileSystem::breakLock). Throws
  // CFleckDiskError InUse, as above, when a live or recently renewed holder has it and
  // `force` is false (on local folders, always).
  static void breakStale(zel::IFileSystem* fs, const zel::CURI& diskFolder, bool force);

  // What this process writes into a lock it takes: host, process id and the time it
  // took the lock (UTC), as "host=H pid=P since=YYYY-MM-DDTHH:MM:SSZ".
  static zel::String describeThisHolder();

 private:
  zel::P<zel::IBase> held;
};

}  // namespace fleck
