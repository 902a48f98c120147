#pragma once

#include <cstdint>
#include <vector>

#include "fleck/CFleckDataPreparer.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/CFleckStorer.h"
#include "zel/CBase.h"
#include "zel/CError.h"
#include "zel/CMemPool.h"
#include "zel/CURI.h"
#include "zel/IDoneListener.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"
#include "zel/TArray.h"
#include "zel/TBuffer.h"
#include "zel/TCryptBuffer.h"
#include "zel/TList.h"
#include "zel/TMap.h"

namespace fleck {

// One fleck of a disk in memory: the decoded bytes (the payload) of the fleck at the
// current index, a position inside it, and the saving of changed flecks in the
// background.
//
// A payload is loaded lazily, on the first read or partial write after a seek: from
// the record that a still-running storer of this object is writing, else from the
// first folder of the chain (the disk, then its parents, nearest first) that has the
// fleck's file, else it is all zeros. A changed payload is prepared into a record and
// handed to a CFleckStorer when the object moves to another fleck, is flushed or ends;
// at most maxBackgroundOps storers run at once, and two stores of one fleck never
// overlap. Failed stores are logged and collected in the error list.
//
// Where a fleck's file lives: its path below a disk folder follows from its index and
// the tree geometry alone (P entries per level, L levels), so one index names the same
// fleck in a disk, its child and its parents: "flecks", then L - 1 folders from the
// highest level down, then the file. Each level's digit (the index in base P, least
// significant at level 0) is written in lower-case hexadecimal, zero-padded to the
// width of P itself; folders of level i >= 1 are prefixed with the letter 'a' + i - 1,
// the file gets ".fleck". With P = 97, L = 5: flecks/dXX/cXX/bXX/aXX/XX.fleck.
//
// Threads: one thread at a time uses a CFleck; it has no lock. Its storers run on the
// file system's completion threads and are observed only through their done signal.
class CFleck : public zel::CBase {
 public:
  // A background save that failed: the fleck and the storer's final error (or the
  // error raised while starting it).
  struct Error {
    std::int64_t fleckIndex;
    zel::PC<zel::CError> error;
  };

  // parentDiskFolders: nearest parent first. childDiskFolder: empty when the disk has
  // no child. maxBackgroundOps: at least 1 (else zel::CInvalidArgError). Errors while
  // building (an unknown algorithm, a failing preparation of the zero record) propagate.
  CFleck(zel::IFileSystem* fs, const zel::CURI& diskFolder, const zel::CURI& childDiskFolder,
         const zel::TList<zel::CURI>& parentDiskFolders, const CFleckDiskHeader& header,
         const zel::TCryptBuffer<unsigned char>& key, int maxBackgroundOps);
  // Saves the changed payload and waits for every storer; errors are logged.
  ~CFleck() override;
  CFleck(const CFleck&) = delete;
  CFleck& operator=(const CFleck&) = delete;

  // Selects fleck `index` and the position inside it. Moving to another index first
  // saves a changed payload in the background; if that throws (the preparation
  // failed), index and position stay as they were. A negative position is
  // zel::CInvalidArgError, with nothing changed.
  void seek(std::int64_t index, int positionInFleck);
  std::int64_t getFleckIndex() const noexcept { return fleckIndex; }
  // The low 32 bits of the position.
  int getPositionInFleck() const noexcept { return static_cast<int>(positionInFleck); }

  // Copies up to `count` bytes from the position on and advances it; fewer at the end
  // of the payload, 0 beyond it. A failed load is logged and rethrown.
  int readLaxInsideFleck(void* data, int count);
  // Copies up to `count` bytes to the position on and advances it. Writing a whole
  // fleck at position 0 replaces the payload without loading the old one.
  int writeLaxInsideFleck(const void* data, int count);

  // Reads the whole payloads of the `count` flecks from `first` on into `payloads`, for a
  // reader that wants many at once (an export): each record is found as a load finds it
  // (the nearest folder first, looked at again), and the records are checked and
  // decoded as one batch (CFleckDataPreparer::unprepareBatch). Only for an object that
  // holds no change and runs no store (a stand-alone reader); its current fleck stays
  // as it is. The first failing fleck is logged and thrown, named as a load names it.
  void readFlecks(std::int64_t first, std::size_t count,
                  zel::TBuffer<unsigned char>* const* payloads);

  // The path of the current fleck relative to a disk folder.
  zel::CURI getRelativeFleckURI();
  // From now on replaced flecks go into `folder` (empty: no child). Only between
  // stores: the disk calls it after a flush, when it made a snapshot of itself.
  void setChildDiskFolder(const zel::CURI& folder);

  // Hands a changed payload to a storer (an all-zero payload as a null record, which
  // removes the file; see writePreparedFleck for disks with parents). A failing
  // preparation propagates and keeps the change; a failure to start the storer is
  // logged and collected, and the change is dropped.
  void backgroundSaveChanges();
  // Stores a record prepared by the caller (null: an all-zero fleck) as the current
  // fleck and drops any unsaved change of it. Waits for a free slot and for an earlier
  // store of the same fleck. `listener` (may be null) is told when the storer ends.
  //
  // The chain keeps its promise here, for every caller:
  // - an all-zero fleck that a parent holds is stored as the zero record (removing the
  //   file would bring the parent's bytes back); only where no parent holds it is the
  //   disk's file removed;
  // - a disk with a child that replaces a fleck it reads from a parent gives the child
  //   that parent's record (what the child read until now), not the zero record.
  // A disk without parents behaves as the plain rules say.
  zel::P<CFleckStorer> writePreparedFleck(const zel::TBuffer<unsigned char>* record,
                                          zel::IDoneListener* listener);

  // True when fewer than maxBackgroundOps storers run, waiting up to timeoutMs
  // milliseconds (-1: no limit) in steps of 50 ms.
  bool waitForFreeBackgroundOpSlot(int timeoutMs);
  // True when every storer has ended, waiting up to timeoutMs (-1: no limit).
  bool waitUntilBackgroundSavesDone(int timeoutMs);
  bool haveBackgroundErrors();
  // Every failure collected so far, oldest first; never cleared.
  const zel::TList<Error>& getBackgroundErrorList();
  int getBackgroundSavesInProgress();

  // The number of hexadecimal digits needed to write objectsPerTreeLevel (at least 1).
  static int computeDigitWidth(int objectsPerTreeLevel);
  // The path of fleck `index` relative to a disk folder. `levelDigits` is the caller's
  // scratch space (resized to treeLevels), so that repeated calls allocate no array.
  // Throws zel::CInvalidArgError for a negative index and for one the tree cannot hold
  // (objectsPerTreeLevel ^ treeLevels and above).
  static zel::CURI formRelativeFleckURI(std::int64_t index, int objectsPerTreeLevel, int treeLevels,
                                        int digitWidth, zel::TArray<int>& levelDigits);

 protected:
  void loadFleckPayload();
  zel::P<CFleckStorer> writePreparedFleckImpl(const zel::TBuffer<unsigned char>* record,
                                              zel::IDoneListener* listener);
  void handleFinishedStorers();

 private:
  void loadFleckPayloadFromStoreOrFolders();
  // Loads from the nearest folder of the chain that has the fleck (zeros if none);
  // `file` is the file being read, for the caller's error.
  void loadFromFolders(const zel::CURI& relative, zel::CURI& file);
  // Reads the record of the fleck at `relative` from the nearest folder that has it;
  // false (and `file` empty) when none has. `file` is the file read.
  bool findRecord(const zel::CURI& relative, zel::TBuffer<unsigned char>& record, zel::CURI& file);
  // Throws the error of a damaged record unless `decoded` is a whole fleck.
  void checkWholeFleck(zel::TBuffer<unsigned char>& decoded) const;
  // Reads the record in `file` (a regular file, never through a link) into `record`;
  // false when there is no such file. A file too long for any record is an error.
  bool readRecord(const zel::CURI& file, zel::TBuffer<unsigned char>& record);
  // True when a parent folder has a file for the fleck at `relative`.
  bool parentHolds(const zel::CURI& relative);
  // What the child keeps when this disk stores the fleck at `relative` without having
  // a file of its own for it: the nearest parent's record, or the zero record.
  zel::PC<zel::TBuffer<unsigned char>> recordForChild(const zel::CURI& relative);
  void makeZeroPayload();

  zel::P<zel::IFileSystem> fileSystem;
  zel::CURI diskFolder;
  zel::CURI childDiskFolder;
  zel::TList<zel::CURI> searchFolders;
  CFleckDiskHeader header;
  std::int64_t preparedBufferSize;
  std::int64_t fleckIndex = 0;
  bool dirty = false;
  bool payloadLoaded = false;
  zel::TArray<int> levelDigits;
  zel::P<CFleckDataPreparer> preparer;
  zel::P<zel::CMemPool> preparedBufferPool;
  zel::TBuffer<unsigned char> payload;
  zel::P<zel::CMemPoolBuffer> zeroFleckPrepared;
  std::int64_t positionInFleck = 0;
  int maxBackgroundOps;
  zel::TMap<long long, zel::P<CFleckStorer>> storers;
  zel::TList<Error> backgroundErrors;
  int digitWidth;
  std::vector<zel::TBuffer<unsigned char>> batchRecords;  // readFlecks' records
};

}  // namespace fleck
