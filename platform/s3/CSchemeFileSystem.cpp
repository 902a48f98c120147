#include "s3/CSchemeFileSystem.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "zel/CLocalFileSystem.h"

namespace s3 {

CSchemeFileSystem::CSchemeFileSystem(zel::P<zel::IFileSystem> local, int completionThreads)
    : local(std::move(local)), completionThreads(std::max(completionThreads, 1)) {}

zel::P<zel::IFileSystem> CSchemeFileSystem::make(int completionThreads, bool durable) {
  zel::CLocalFileSystem::Options options;
  options.completionThreads = std::max(completionThreads, 1);
  options.durable = durable;
  return zel::make<CSchemeFileSystem>(zel::make<zel::CLocalFileSystem>(options),
                                      options.completionThreads);
}

CSchemeFileSystem::~CSchemeFileSystem() {
  std::lock_guard<std::mutex> lock(mutex);
  if (s3 == nullptr || std::getenv("FLECK_S3_STATS") == nullptr) return;
  const CS3Client& client = s3->getClient();
  std::fprintf(stderr,
               "s3 requests: GET %llu HEAD %llu PUT %llu COPY %llu DELETE %llu LIST %llu "
               "retries %llu\n",
               static_cast<unsigned long long>(client.getRequestCount(CS3Client::Get)),
               static_cast<unsigned long long>(client.getRequestCount(CS3Client::Head)),
               static_cast<unsigned long long>(client.getRequestCount(CS3Client::Put)),
               static_cast<unsigned long long>(client.getRequestCount(CS3Client::Copy)),
               static_cast<unsigned long long>(client.getRequestCount(CS3Client::Delete)),
               static_cast<unsigned long long>(client.getRequestCount(CS3Client::List)),
               static_cast<unsigned long long>(client.getRetryCount()));
}

zel::IFileSystem& CSchemeFileSystem::pick(const zel::CURI& location) {
  if (location.getScheme() != L"s3") return *local;
  std::lock_guard<std::mutex> lock(mutex);
  if (s3 == nullptr) {
    CS3FileSystem::Options options = CS3FileSystem::optionsFromEnvironment();
    // Requests wait on the network, not on the processor: more of them may run at once.
    options.completionThreads = completionThreads;
    s3 = zel::make<CS3FileSystem>(options);
  }
  return *s3;
}

zel::P<zel::CFileInfo> CSchemeFileSystem::getFileInfo(const zel::CURI& location, int flags) {
  return pick(location).getFileInfo(location, flags);
}

zel::P<zel::IIOStream> CSchemeFileSystem::openStream(const zel::CURI& location, int access,
                                                     int mode) {
  return pick(location).openStream(location, access, mode);
}

bool CSchemeFileSystem::createFolder(const zel::CURI& location, int permissions) {
  return pick(location).createFolder(location, permissions);
}

bool CSchemeFileSystem::exists(const zel::CURI& location) {
  return pick(location).exists(location);
}

bool CSchemeFileSystem::fileExists(const zel::CURI& location) {
  return pick(location).fileExists(location);
}

bool CSchemeFileSystem::folderExists(const zel::CURI& location) {
  return pick(location).folderExists(location);
}

void CSchemeFileSystem::deleteFile(const zel::CURI& location, bool ignoreMissing) {
  pick(location).deleteFile(location, ignoreMissing);
}

void CSchemeFileSystem::deleteFolder(const zel::CURI& location) {
  pick(location).deleteFolder(location);
}

std::vector<zel::IFileSystem::FolderEntry> CSchemeFileSystem::listFolder(
    const zel::CURI& location) {
  return pick(location).listFolder(location);
}

void CSchemeFileSystem::sync(const zel::CURI& folder) {
  pick(folder).sync(folder);
}

int CSchemeFileSystem::getCapabilities() const {
  // The S3 file system may not be made yet; its answer never changes.
  return local->getCapabilities() & CS3FileSystem::kCapabilities;
}

zel::P<zel::IBase> CSchemeFileSystem::lockFile(const zel::CURI& location,
                                               const zel::String& holder) {
  return pick(location).lockFile(location, holder);
}

void CSchemeFileSystem::breakLock(const zel::CURI& location, bool force) {
  pick(location).breakLock(location, force);
}

zel::P<zel::IAsyncOperation> CSchemeFileSystem::moveAsync(const zel::CURI& source,
                                                          const zel::CURI& target, int flags,
                                                          zel::IDoneListener* listener) {
  return pick(target).moveAsync(source, target, flags, listener);
}

zel::P<zel::IAsyncOperation> CSchemeFileSystem::createFolderAsync(const zel::CURI& location,
                                                                  int permissions,
                                                                  zel::IDoneListener* listener) {
  return pick(location).createFolderAsync(location, permissions, listener);
}

zel::P<zel::IAsyncOperation> CSchemeFileSystem::storeStreamAsync(const zel::CURI& target,
                                                                 std::int64_t length,
                                                                 zel::P<zel::IInStream> source,
                                                                 bool replace,
                                                                 zel::IDoneListener* listener) {
  return pick(target).storeStreamAsync(target, length, std::move(source), replace, listener);
}

zel::P<zel::IAsyncOperation> CSchemeFileSystem::deleteAsync(const zel::CURI& location,
                                                            zel::IDoneListener* listener) {
  return pick(location).deleteAsync(location, listener);
}

}  // namespace s3
