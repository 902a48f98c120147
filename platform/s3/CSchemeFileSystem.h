#pragma once

#include <mutex>

#include "s3/CS3FileSystem.h"
#include "zel/CBase.h"
#include "zel/IFileSystem.h"

namespace s3 {

// The file system for locations as programs take them: local locations go to a local
// file system, "s3://" locations to a CS3FileSystem made on first use from the
// environment (so that local work needs no credentials). A move between the two fails with
// Unsupported through its listener. With FLECK_S3_STATS set in the environment, the destructor
// prints the S3 requests sent, by kind, to standard error (for cost measurements).
//
// Thread-safe, as the file systems behind it.
class CSchemeFileSystem final : public zel::CBase, public virtual zel::IFileSystem {
 public:
  CSchemeFileSystem(zel::P<zel::IFileSystem> local, int completionThreads);
  // Over a CLocalFileSystem with `completionThreads` (at least 1) and `durable` (see
  // CLocalFileSystem::Options); S3 gets as many completion threads.
  static zel::P<zel::IFileSystem> make(int completionThreads, bool durable);
  ~CSchemeFileSystem() override;
  CSchemeFileSystem(const CSchemeFileSystem&) = delete;
  CSchemeFileSystem& operator=(const CSchemeFileSystem&) = delete;

  zel::P<zel::CFileInfo> getFileInfo(const zel::CURI& location, int flags) override;
  zel::P<zel::IIOStream> openStream(const zel::CURI& location, int access, int mode) override;
  bool createFolder(const zel::CURI& location, int permissions) override;
  bool exists(const zel::CURI& location) override;
  bool fileExists(const zel::CURI& location) override;
  bool folderExists(const zel::CURI& location) override;
  void deleteFile(const zel::CURI& location, bool ignoreMissing) override;
  void deleteFolder(const zel::CURI& location) override;
  std::vector<FolderEntry> listFolder(const zel::CURI& location) override;
  zel::P<zel::IBase> lockFile(const zel::CURI& location, const zel::String& holder) override;
  void breakLock(const zel::CURI& location, bool force) override;
  void sync(const zel::CURI& folder) override;
  // What both file systems promise: a caller cannot know which one a location picks.
  int getCapabilities() const override;
  zel::P<zel::IAsyncOperation> moveAsync(const zel::CURI& source, const zel::CURI& target,
                                         int flags, zel::IDoneListener* listener) override;
  zel::P<zel::IAsyncOperation> createFolderAsync(const zel::CURI& location, int permissions,
                                                 zel::IDoneListener* listener) override;
  zel::P<zel::IAsyncOperation> storeStreamAsync(const zel::CURI& target, std::int64_t length,
                                                zel::P<zel::IInStream> source, bool replace,
                                                zel::IDoneListener* listener) override;
  zel::P<zel::IAsyncOperation> deleteAsync(const zel::CURI& location,
                                           zel::IDoneListener* listener) override;

 private:
  // The file system for a location; for a move, the target's.
  zel::IFileSystem& pick(const zel::CURI& location);

  const zel::P<zel::IFileSystem> local;
  const int completionThreads;
  std::mutex mutex;  // guards s3
  zel::P<CS3FileSystem> s3;
};

}  // namespace s3
