#include "fleck/CFleckStorer.h"

#include <algorithm>

#include "zel/CFileSystemError.h"
#include "zel/CStdExceptionError.h"
#include "zel/Log.h"

namespace fleck {

namespace {

// Progress weights: one file-system step counts as much as 7,680 bytes of record.
constexpr double kStepWeight = 0.15;
constexpr double kBytesPerUnit = 51200.0;

int problemOf(const zel::CError& error) {
  return zel::CFileSystemError::getProblem(error.getProps());
}

}  // namespace

// The stream the file system reads a record from. It keeps its storer alive while the
// file system holds it, and reports how far the reading got as the storer's progress.
class CFleckStorer::CUploadBufferStream final : public zel::CBufferStream {
 public:
  CUploadBufferStream(CFleckStorer* storer, const zel::TBuffer<unsigned char>* record)
      : zel::CBufferStream(record, ReadOnly()), storer(storer) {}

  void read(void* buffer, int count) override {
    zel::CBufferStream::read(buffer, count);
    storer->onUploadProgress(getPosition());
  }
  int readLax(void* buffer, int count) override {
    const int got = zel::CBufferStream::readLax(buffer, count);
    storer->onUploadProgress(getPosition());
    return got;
  }
  int readAvailable(void* buffer, int count) override {
    const int got = zel::CBufferStream::readAvailable(buffer, count);
    storer->onUploadProgress(getPosition());
    return got;
  }

 private:
  const zel::P<CFleckStorer> storer;
};

zel::P<CFleckStorer> CFleckStorer::start(zel::IFileSystem* fs, const zel::CURI& diskFolder,
                                         const zel::CURI& relativeFleckURI,
                                         const zel::CURI& childDiskFolder,
                                         const zel::CURI& childRelativeFleckURI,
                                         const zel::TBuffer<unsigned char>* fleckData,
                                         const zel::TBuffer<unsigned char>* zeroFleckData,
                                         zel::IDoneListener* listener) {
  // The first counted reference exists before any operation starts: a completion on
  // another thread can then never see the storer's count drop to 0 early.
  zel::P<CFleckStorer> storer(new CFleckStorer(fs, diskFolder, relativeFleckURI, childDiskFolder,
                                               childRelativeFleckURI, fleckData, zeroFleckData,
                                               listener));
  storer->begin();
  return storer;
}

CFleckStorer::CFleckStorer(zel::IFileSystem* fs, const zel::CURI& diskFolder,
                           const zel::CURI& relativeFleckURI, const zel::CURI& childDiskFolder,
                           const zel::CURI& childRelativeFleckURI,
                           const zel::TBuffer<unsigned char>* fleckData,
                           const zel::TBuffer<unsigned char>* zeroFleckData,
                           zel::IDoneListener* listener)
    : fileSystem(fs),
      diskFolder(diskFolder),
      relativeFleckURI(relativeFleckURI),
      childDiskFolder(childDiskFolder),
      childRelativeFleckURI(childRelativeFleckURI),
      fleckData(fleckData),
      zeroFleckData(zeroFleckData),
      doneListener(listener),
      doneSignal(zel::make<zel::CSignal>()) {
  expectedBytes = dataLength();
}

CFleckStorer::~CFleckStorer() = default;

void CFleckStorer::begin() {
  if (!childRelativeFleckURI.isEmpty()) {
    expectedSteps = 2;
    replaceExisting = false;
    doMoveToChild();
  } else {
    expectedSteps = 1;
    replaceExisting = true;
    doStoreFleck();
  }
}

zel::PC<zel::CError> CFleckStorer::getError() const {
  if (!doneSignal->isSet()) return nullptr;
  return error;
}

double CFleckStorer::getProgress() const {
  if (step.load() == end) return 1.0;
  zel::CMutexLock lock(mutex);
  const double total =
      expectedSteps * kStepWeight + static_cast<double>(expectedBytes) / kBytesPerUnit;
  if (total == 0) return 0.0;
  const double done = static_cast<double>(currentOpBytes + finishedBytes) / kBytesPerUnit +
                      finishedSteps * kStepWeight;
  return std::clamp(done / total, 0.0, 0.99);
}

// --- steps ---

void CFleckStorer::doMoveToChild() {
  step = moveToChild;
  fileSystem->moveAsync(diskFile(), childFile(), zel::IFileSystem::MoveNoReplace, this);
}

void CFleckStorer::doCreateChildParentFolder() {
  step = createChildParentFolder;
  initCreateFolderURIs(childDiskFolder, childRelativeFleckURI.getParent());
  beginCreateFolderOp();
}

void CFleckStorer::doCreateParentFolder() {
  step = createParentFolder;
  initCreateFolderURIs(diskFolder, relativeFleckURI.getParent());
  beginCreateFolderOp();
}

void CFleckStorer::initCreateFolderURIs(const zel::CURI& base, const zel::CURI& relativeFolder) {
  foldersToCreate.clear();
  for (zel::CURI r = relativeFolder; !r.isEmpty(); r = r.getParent())
    foldersToCreate.add(base << r);
  currentFolder = foldersToCreate.begin();
  createFolderDescending = false;
}

void CFleckStorer::beginCreateFolderOp() {
  fileSystem->createFolderAsync(*currentFolder, 0x1ff, this);
}

void CFleckStorer::doStoreZeroFleckInChild() {
  if (fleckData == nullptr) {
    // The new content is zeros as well: the child reads zeros without a record.
    onWorkFinished(1, zeroLength());
    doStoreFleck();
    return;
  }
  step = storeZeroFleckInChild;
  {
    zel::CMutexLock lock(mutex);
    currentOpBytes = 0;
  }
  fileSystem->storeStreamAsync(childFile(), zeroLength(),
                               zel::make<CUploadBufferStream>(this, zeroFleckData.get()),
                               /*replace=*/false, this);
}

void CFleckStorer::doStoreFleck() {
  step = storeFleck;
  if (fleckData == nullptr) {
    fileSystem->deleteAsync(diskFile(), this);
    return;
  }
  {
    zel::CMutexLock lock(mutex);
    currentOpBytes = 0;
  }
  fileSystem->storeStreamAsync(diskFile(), dataLength(),
                               zel::make<CUploadBufferStream>(this, fleckData.get()),
                               replaceExisting, this);
}

// --- completions ---

void CFleckStorer::onDone(const zel::CError* failure) {
  // Keeps the storer alive while it handles the completion, whoever drops what.
  zel::P<CFleckStorer> self(this);
  try {
    const int current = step.load();
    switch (current) {
      case moveToChild:
        onDone_moveToChild(failure);
        break;
      case storeFleck:
        onDone_storeFleck(failure);
        break;
      case storeZeroFleckInChild:
        onDone_storeZeroFleckInChild(failure);
        break;
      case createChildParentFolder:
      case createParentFolder:
        onCreateFolderStepDone(failure);
        break;
      default:
        throw zel::CError(zel::String("INTERNAL ERROR: Unknown state in CFleckStorer::onDone: ") +
                          zel::String::fromInt64(current));
    }
  } catch (const zel::CError& e) {
    endWithError(e);
  } catch (const std::exception& e) {
    // Not expected, but a storer that never ends would leave its waiters hanging.
    endWithError(*zel::CStdExceptionError::exceptionToError(e));
  }
}

void CFleckStorer::onDone_moveToChild(const zel::CError* failure) {
  onWorkFinished(1, 0);
  if (failure == nullptr) {
    // The old file is in the child now; the disk has no file for this fleck.
    replaceExisting = false;
    doStoreFleck();
    return;
  }
  const int problem = problemOf(*failure);
  if (problem == zel::CFileSystemError::AlreadyExists) {
    // The child has its own file for this fleck already; it stays untouched.
    replaceExisting = true;
    doStoreFleck();
    return;
  }
  if (!childParentFolderCreated) {
    // Assume the child's folders are missing; the move is retried once they exist.
    addExpectedWork(2, 0);
    doCreateChildParentFolder();
    return;
  }
  if (problem == zel::CFileSystemError::NotFound) {
    // The child's folders exist, so the disk had no file: the child keeps zeros.
    replaceExisting = false;
    addExpectedWork(1, zeroLength());
    doStoreZeroFleckInChild();
    return;
  }
  // Some other failure: decide from what is there now.
  if (fileSystem->fileExists(childFile())) {
    replaceExisting = true;
    doStoreFleck();
  } else if (fileSystem->fileExists(diskFile())) {
    endWithError(*failure);
  } else {
    replaceExisting = false;
    addExpectedWork(1, zeroLength());
    doStoreZeroFleckInChild();
  }
}

void CFleckStorer::onCreateFolderStepDone(const zel::CError* failure) {
  onWorkFinished(1, 0);
  if (failure != nullptr && problemOf(*failure) != zel::CFileSystemError::AlreadyExists) {
    if (problemOf(*failure) == zel::CFileSystemError::NotFound && !createFolderDescending) {
      // Climb one level and try to make that folder first.
      ++currentFolder;
      if (currentFolder == foldersToCreate.end()) {
        endWithError(*failure);
      } else {
        addExpectedWork(2, 0);
        beginCreateFolderOp();
      }
    } else {
      // Once creation has turned downward, a missing parent is an error.
      endWithError(*failure);
    }
    return;
  }
  createFolderDescending = true;
  if (currentFolder == foldersToCreate.begin()) {
    const int current = step.load();
    if (current == createChildParentFolder) {
      onDone_createChildParentFolder();
    } else if (current == createParentFolder) {
      onDone_createParentFolder();
    } else {
      throw zel::CError(
          zel::String(
              "INTERNAL ERROR: CFleckStorer onCreateFolderStepDone called with unknown state: ") +
          zel::String::fromInt64(current));
    }
    return;
  }
  --currentFolder;
  beginCreateFolderOp();
}

void CFleckStorer::onDone_createChildParentFolder() {
  // The last folder's step was counted by onCreateFolderStepDone; the retried move
  // counts when it completes.
  childParentFolderCreated = true;
  doMoveToChild();
}

void CFleckStorer::onDone_createParentFolder() {
  parentFolderCreated = true;
  doStoreFleck();
}

void CFleckStorer::onDone_storeZeroFleckInChild(const zel::CError* failure) {
  if (failure == nullptr) {
    onWorkFinished(1, zeroLength());
    zeroFleckStoredInChild = true;
    doStoreFleck();
    return;
  }
  onWorkFinished(1, 0);
  int problem = problemOf(*failure);
  if (problem == zel::CFileSystemError::Other) {
    // Some file systems cannot tell "exists" apart; look.
    try {
      if (fileSystem->exists(childFile())) problem = zel::CFileSystemError::AlreadyExists;
    } catch (const std::exception& e) {
      zel::logError(e, "Cannot test for a fleck file in the child disk.",
                    childFile().toString(true));
    }
  }
  if (problem == zel::CFileSystemError::AlreadyExists) {
    // The child has the fleck already; no zero record is needed.
    {
      zel::CMutexLock lock(mutex);
      expectedBytes -= zeroLength();
    }
    doStoreFleck();
    return;
  }
  endWithError(*failure);
}

void CFleckStorer::onDone_storeFleck(const zel::CError* failure) {
  if (failure == nullptr) {
    onWorkFinished(1, dataLength());
    endWithSuccess();
    return;
  }
  onWorkFinished(1, 0);
  const int problem = problemOf(*failure);
  if ((problem == zel::CFileSystemError::NotFound || problem == zel::CFileSystemError::Other) &&
      !parentFolderCreated) {
    // Most likely the fleck's folders do not exist yet; the store is retried after.
    addExpectedWork(2, 0);
    doCreateParentFolder();
    return;
  }
  if (zeroFleckStoredInChild) {
    // The child must not keep zeros for a fleck whose new content was never stored.
    try {
      fileSystem->deleteFile(childFile(), true);
    } catch (const zel::CError& e) {
      zel::logError(e, "Cannot remove the zero fleck record from the child disk again.",
                    childFile().toString(true));
    }
    zeroFleckStoredInChild = false;
  }
  endWithError(*failure);
}

void CFleckStorer::endWithError(const zel::CError& e) {
  error = e.clone();
  doEnd();
}

void CFleckStorer::endWithSuccess() {
  doEnd();
}

void CFleckStorer::doEnd() {
  step = end;
  fileSystem = nullptr;
  doneSignal->set();
  zel::P<zel::IDoneListener> listener = std::move(doneListener);
  if (listener == nullptr) return;
  try {
    listener->onDone(error.get());
  } catch (const std::exception& e) {
    // The outcome is published already: a failing listener must not change it (onDone's
    // handler would store its error as the storer's). The failure is the listener's.
    zel::logError(e, "The listener of a fleck storer failed.", diskFile().toString(true));
  }
}

// --- progress ---

void CFleckStorer::addExpectedWork(int steps, std::int64_t bytes) {
  zel::CMutexLock lock(mutex);
  expectedSteps += steps;
  expectedBytes += bytes;
}

void CFleckStorer::onWorkFinished(int steps, std::int64_t bytes) {
  zel::CMutexLock lock(mutex);
  finishedSteps += steps;
  finishedBytes += bytes;
  currentOpBytes = 0;
}

void CFleckStorer::onUploadProgress(std::int64_t bytes) {
  zel::CMutexLock lock(mutex);
  currentOpBytes = bytes;
}

}  // namespace fleck
