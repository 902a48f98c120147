#include "zel/CFileSystemWrapper.h"

#include "zel/CInvalidArgError.h"
#include "zel/Log.h"

namespace zel {

CFileSystemWrapper::CFileSystemWrapper(P<IFileSystem> target) : target(std::move(target)) {
  if (this->target == nullptr) {
    throw CInvalidArgError("zel::CFileSystemWrapper", "no file system to forward to");
  }
}

CFileSystemWrapper::~CFileSystemWrapper() {
  try {
    finishOwnOperations();
  } catch (const std::exception& e) {
    onExceptionInDestructorIgnored("zel::CFileSystemWrapper", e, true);
  }
}

P<CFileInfo> CFileSystemWrapper::getFileInfo(const CURI& location, int flags) {
  return target->getFileInfo(location, flags);
}

P<IIOStream> CFileSystemWrapper::openStream(const CURI& location, int access, int mode) {
  return target->openStream(location, access, mode);
}

bool CFileSystemWrapper::createFolder(const CURI& location, int permissions) {
  return target->createFolder(location, permissions);
}

bool CFileSystemWrapper::exists(const CURI& location) {
  return target->exists(location);
}

bool CFileSystemWrapper::fileExists(const CURI& location) {
  return target->fileExists(location);
}

bool CFileSystemWrapper::folderExists(const CURI& location) {
  return target->folderExists(location);
}

void CFileSystemWrapper::deleteFile(const CURI& location, bool ignoreMissing) {
  target->deleteFile(location, ignoreMissing);
}

void CFileSystemWrapper::deleteFolder(const CURI& location) {
  target->deleteFolder(location);
}

std::vector<IFileSystem::FolderEntry> CFileSystemWrapper::listFolder(const CURI& location) {
  return target->listFolder(location);
}

P<IBase> CFileSystemWrapper::lockFile(const CURI& location, const String& holder) {
  return target->lockFile(location, holder);
}

void CFileSystemWrapper::breakLock(const CURI& location, bool force) {
  target->breakLock(location, force);
}

void CFileSystemWrapper::sync(const CURI& folder) {
  target->sync(folder);
}

int CFileSystemWrapper::getCapabilities() const {
  return target->getCapabilities();
}

P<IAsyncOperation> CFileSystemWrapper::moveAsync(const CURI& source, const CURI& destination,
                                                 int flags, IDoneListener* listener) {
  return target->moveAsync(source, destination, flags, listener);
}

P<IAsyncOperation> CFileSystemWrapper::createFolderAsync(const CURI& location, int permissions,
                                                         IDoneListener* listener) {
  return target->createFolderAsync(location, permissions, listener);
}

P<IAsyncOperation> CFileSystemWrapper::storeStreamAsync(const CURI& destination,
                                                        std::int64_t length, P<IInStream> source,
                                                        bool replace, IDoneListener* listener) {
  return target->storeStreamAsync(destination, length, std::move(source), replace, listener);
}

P<IAsyncOperation> CFileSystemWrapper::deleteAsync(const CURI& location, IDoneListener* listener) {
  return target->deleteAsync(location, listener);
}

P<IAsyncOperation> CFileSystemWrapper::runAsync(CCompletionPool::Work work,
                                                IDoneListener* listener) {
  P<CCompletionPool> running;
  {
    std::lock_guard<std::mutex> lock(poolMutex);
    if (pool == nullptr) pool = make<CCompletionPool>(1);
    running = pool;
  }
  return running->submit(std::move(work), listener);
}

void CFileSystemWrapper::finishOwnOperations() {
  P<CCompletionPool> running;
  {
    std::lock_guard<std::mutex> lock(poolMutex);
    running = pool;
  }
  if (running != nullptr) running->shutdown();
}

}  // namespace zel
