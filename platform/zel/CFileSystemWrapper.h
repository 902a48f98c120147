#pragma once

#include <functional>
#include <mutex>

#include "zel/CBase.h"
#include "zel/CCompletionPool.h"
#include "zel/IFileSystem.h"

namespace zel {

// A file system that passes every call on to another one, unchanged: the base of file
// systems that change a few operations (test doubles that inject failures or count
// calls, adapters) and forward the rest.
//
// Forwarded asynchronous operations are run and reported by the target, on its
// completion threads. An operation a derived class answers itself goes through
// runAsync, which keeps the same promise (exactly once, never inline) on a pool of
// the wrapper's own, made at first use.
//
// Thread-safe as far as the target is. The wrapper holds a counted reference to the
// target. Destroying the wrapper finishes what runAsync started; a derived class whose
// work uses its own members calls finishOwnOperations() in its destructor, before
// those members go.
class CFileSystemWrapper : public CBase, public virtual IFileSystem {
 public:
  explicit CFileSystemWrapper(P<IFileSystem> target);
  ~CFileSystemWrapper() override;
  CFileSystemWrapper(const CFileSystemWrapper&) = delete;
  CFileSystemWrapper& operator=(const CFileSystemWrapper&) = delete;

  const P<IFileSystem>& getTarget() const noexcept { return target; }

  P<CFileInfo> getFileInfo(const CURI& location, int flags) override;
  P<IIOStream> openStream(const CURI& location, int access, int mode) override;
  bool createFolder(const CURI& location, int permissions) override;
  bool exists(const CURI& location) override;
  bool fileExists(const CURI& location) override;
  bool folderExists(const CURI& location) override;
  void deleteFile(const CURI& location, bool ignoreMissing) override;
  void deleteFolder(const CURI& location) override;
  std::vector<FolderEntry> listFolder(const CURI& location) override;
  P<IBase> lockFile(const CURI& location, const String& holder) override;
  void breakLock(const CURI& location, bool force) override;
  void sync(const CURI& folder) override;
  // The target's: a wrapper that changes what they promise overrides this as well.
  int getCapabilities() const override;

  P<IAsyncOperation> moveAsync(const CURI& source, const CURI& target, int flags,
                               IDoneListener* listener) override;
  P<IAsyncOperation> createFolderAsync(const CURI& location, int permissions,
                                       IDoneListener* listener) override;
  P<IAsyncOperation> storeStreamAsync(const CURI& target, std::int64_t length, P<IInStream> source,
                                      bool replace, IDoneListener* listener) override;
  P<IAsyncOperation> deleteAsync(const CURI& location, IDoneListener* listener) override;

 protected:
  // Runs `work` on the wrapper's own completion thread and tells `listener` as
  // zel::CCompletionPool does: onDone(nullptr) when it returns, else with what it threw.
  P<IAsyncOperation> runAsync(CCompletionPool::Work work, IDoneListener* listener);

  // Runs every operation runAsync started to the end; runAsync cannot be used
  // afterwards.
  void finishOwnOperations();

 private:
  const P<IFileSystem> target;
  std::mutex poolMutex;     // guards pool
  P<CCompletionPool> pool;  // made by the first runAsync
};

}  // namespace zel
