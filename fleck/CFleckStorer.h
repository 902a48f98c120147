#pragma once

#include <atomic>
#include <cstdint>

#include "zel/CBase.h"
#include "zel/CBufferStream.h"
#include "zel/CError.h"
#include "zel/CMutex.h"
#include "zel/CSignal.h"
#include "zel/CURI.h"
#include "zel/IDoneListener.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"
#include "zel/TBuffer.h"
#include "zel/TList.h"
#include "zel/TRequireNewAlloc.h"

namespace fleck {

// Stores one prepared fleck record as the fleck's file, in the background, as a chain
// of asynchronous file-system operations: each completion (onDone, on a completion
// thread of the file system) starts the next one, so exactly one operation is
// outstanding at a time and the step logic never runs on two threads at once.
//
// When the disk has a child, the fleck's old file is first moved into the child (or,
// when the disk has none, the record the child read until now is stored there: zeros,
// or a parent's record), so that the child keeps the fleck as it was. Missing folders of the fleck
// path are created on demand, one level at a time, at most once on each side. A null record stands
// for an all-zero fleck: the disk's file is removed instead of written.
//
// When it ends, the storer sets its done signal (after storing its error) and then
// tells its listener, once; what the listener throws is logged and changes nothing. It
// exists only on the heap; start() makes and starts one.
class CFleckStorer final : public zel::TRequireNewAlloc<zel::CBase>,
                           public virtual zel::IDoneListener {
 public:
  // The step whose completion is awaited; the numbers appear in error messages.
  enum Step : int {
    moveToChild = 0,
    createChildParentFolder = 1,
    storeZeroFleckInChild = 2,
    storeFleck = 3,
    createParentFolder = 4,
    end = 5,
  };

  // Makes a storer and starts its first operation. childRelativeFleckURI is empty when
  // the disk has no child. fleckData may be null (an all-zero fleck); zeroFleckData is
  // the record the child keeps when the disk has no file of its own for the fleck (the
  // record of an all-zero fleck, or the record the disk read from a parent); listener
  // may be null. The records are shared, not
  // copied, and must not change while the storer runs. An operation that fails
  // synchronously while starting lets its exception out (nothing then runs).
  static zel::P<CFleckStorer> start(zel::IFileSystem* fs, const zel::CURI& diskFolder,
                                    const zel::CURI& relativeFleckURI,
                                    const zel::CURI& childDiskFolder,
                                    const zel::CURI& childRelativeFleckURI,
                                    const zel::TBuffer<unsigned char>* fleckData,
                                    const zel::TBuffer<unsigned char>* zeroFleckData,
                                    zel::IDoneListener* listener);

  ~CFleckStorer() override;

  // Waits up to timeoutMs (-1: no limit, 0: just test); true when the storer has ended.
  bool waitFinished(int timeoutMs) const { return doneSignal->wait(timeoutMs); }
  // The error the storer ended with; null while it runs and after success.
  zel::PC<zel::CError> getError() const;
  // The record being stored; null for an all-zero fleck. Never changes.
  zel::PC<zel::TBuffer<unsigned char>> getFleckData() const { return fleckData; }
  // From 0 to 0.99 while running, by steps and bytes done; 1.0 exactly once ended.
  // Any thread.
  double getProgress() const;

  // The file system's completion call.
  void onDone(const zel::CError* error) override;

 private:
  class CUploadBufferStream;

  CFleckStorer(zel::IFileSystem* fs, const zel::CURI& diskFolder, const zel::CURI& relativeFleckURI,
               const zel::CURI& childDiskFolder, const zel::CURI& childRelativeFleckURI,
               const zel::TBuffer<unsigned char>* fleckData,
               const zel::TBuffer<unsigned char>* zeroFleckData, zel::IDoneListener* listener);

  void begin();
  void doMoveToChild();
  void doCreateChildParentFolder();
  void doStoreZeroFleckInChild();
  void doStoreFleck();
  void doCreateParentFolder();
  void doEnd();
  void initCreateFolderURIs(const zel::CURI& base, const zel::CURI& relativeFolder);
  void beginCreateFolderOp();
  void onDone_moveToChild(const zel::CError* error);
  void onDone_createChildParentFolder();
  void onDone_storeZeroFleckInChild(const zel::CError* error);
  void onDone_storeFleck(const zel::CError* error);
  void onDone_createParentFolder();
  void onCreateFolderStepDone(const zel::CError* error);
  void endWithError(const zel::CError& e);
  void endWithSuccess();
  void addExpectedWork(int steps, std::int64_t bytes);
  void onWorkFinished(int steps, std::int64_t bytes);
  void onUploadProgress(std::int64_t bytes);

  zel::CURI diskFile() const { return diskFolder << relativeFleckURI; }
  zel::CURI childFile() const { return childDiskFolder << childRelativeFleckURI; }
  std::int64_t zeroLength() const { return static_cast<std::int64_t>(zeroFleckData->getUsed()); }
  std::int64_t dataLength() const {
    return fleckData != nullptr ? static_cast<std::int64_t>(fleckData->getUsed()) : 0;
  }

  // The step state below is touched only by the thread that runs the current step:
  // the constructor's caller for the first one, then each completion in turn. The file
  // system's hand-over from starting an operation to completing it orders them.
  zel::P<zel::IFileSystem> fileSystem;
  const zel::CURI diskFolder;
  const zel::CURI relativeFleckURI;
  const zel::CURI childDiskFolder;
  const zel::CURI childRelativeFleckURI;
  const zel::PC<zel::TBuffer<unsigned char>> fleckData;
  const zel::PC<zel::TBuffer<unsigned char>> zeroFleckData;
  zel::P<zel::IDoneListener> doneListener;

  mutable zel::CMutex mutex;  // guards the five progress counters
  int expectedSteps = 0;
  int finishedSteps = 0;
  std::int64_t expectedBytes = 0;
  std::int64_t finishedBytes = 0;
  std::int64_t currentOpBytes = 0;

  std::atomic<int> step{storeFleck};  // also read by getProgress on other threads
  const zel::P<zel::CSignal> doneSignal;
  zel::P<zel::CError> error;  // published by doneSignal
  bool parentFolderCreated = false;
  bool childParentFolderCreated = false;
  bool createFolderDescending = false;
  bool zeroFleckStoredInChild = false;
  bool replaceExisting = false;
  zel::TList<zel::CURI> foldersToCreate;
  zel::TList<zel::CURI>::iterator currentFolder;
};

}  // namespace fleck
