#include "fleck/CFleckDiskLock.h"

#include <unistd.h>

#include <ctime>
#include <string>

#include "fleck/CFleckDiskError.h"
#include "zel/CFileSystemError.h"

namespace fleck {

namespace {

// Turns the file system's Locked into the disk's own error, keeping what it knows of
// the holder.
[[noreturn]] void throwInUse(const zel::CFileSystemError& e, const zel::CURI& diskFolder) {
  const zel::String* holder = e.getProps().find("holder");
  const zel::String* stale = e.getProps().find("stale");
  throw CFleckDiskError(CFleckDiskError::InUseByAnotherWriter, diskFolder,
                        holder != nullptr ? *holder : zel::String(),
                        stale != nullptr && *stale == L"true");
}

}  // namespace

CFleckDiskLock::CFleckDiskLock(zel::IFileSystem* fs, const zel::CURI& diskFolder) {
  try {
    held = fs->lockFile(getLockURI(diskFolder), describeThisHolder());
  } catch (const zel::CFileSystemError& e) {
    if (e.getProblem() == zel::CFileSystemError::Locked) throwInUse(e, diskFolder);
    throw;
  }
}

void CFleckDiskLock::breakStale(zel::IFileSystem* fs, const zel::CURI& diskFolder, bool force) {
  try {
    fs->breakLock(getLockURI(diskFolder), force);
  } catch (const zel::CFileSystemError& e) {
    if (e.getProblem() == zel::CFileSystemError::Locked) throwInUse(e, diskFolder);
    throw;
  }
}

zel::String CFleckDiskLock::describeThisHolder() {
  char host[256] = "unknown";
  if (::gethostname(host, sizeof(host) - 1) != 0) host[0] = '\0';
  host[sizeof(host) - 1] = '\0';
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  char since[32] = "";
  if (::gmtime_r(&now, &utc) != nullptr)
    std::strftime(since, sizeof(since), "%Y-%m-%dT%H:%M:%SZ", &utc);
  return zel::String::fromUTF8(std::string("host=") + host + " pid=" +
                               std::to_string(static_cast<long>(::getpid())) + " since=" + since);
}

}  // namespace fleck
