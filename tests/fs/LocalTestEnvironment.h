#pragma once

#include "FileSystemConformance.h"
#include "TempFolder.h"
#include "zel/CLocalFileSystem.h"

namespace fleck_test {

// The local file system working in a fresh temporary folder; optionally behind a
// zel::CFileSystemWrapper that forwards everything.
class LocalTestEnvironment final : public FileSystemEnvironment {
 public:
  LocalTestEnvironment(const zel::CLocalFileSystem::Options& options, bool wrapped)
      : options(options), wrapped(wrapped) {}

  zel::P<zel::IFileSystem> makeFileSystem(int completionThreads) override;
  zel::CURI getRoot() const override { return folder.getURI(); }
  std::vector<std::string> listRaw(const zel::CURI& location) override {
    return listRawNames(location.toLocalPath());
  }

  // A FileSystemKind for the conformance tests.
  static FileSystemKind kind(std::string name, const zel::CLocalFileSystem::Options& options,
                             bool wrapped);

 private:
  TempFolder folder;
  const zel::CLocalFileSystem::Options options;
  const bool wrapped;
};

}  // namespace fleck_test
