#pragma once

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "FileSystemConformance.h"
#include "support/TempFolder.h"
#include "zel/CError.h"
#include "zel/CFileSystemWrapper.h"
#include "zel/CLocalFileSystem.h"

namespace fleck_test {

using fleck::test::TempFolder;

// Every name in a folder except "." and "..", read with readdir, past any file system
// object: hidden and temporary files included. Sorted. Throws zel::CError on failure.
inline std::vector<std::string> listRawNames(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) {
    throw zel::CError("opendir failed", "listRawNames", errno,
                      zel::CProps().add("path", zel::String::fromUTF8(folder)));
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name(entry->d_name);
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

// Number of file descriptors the process has open right now (the one opendir takes
// for itself included, the same every time).
inline int countOpenDescriptors() {
  return static_cast<int>(listRawNames("/proc/self/fd").size());
}

// The local file system working in a fresh temporary folder; optionally behind a
// zel::CFileSystemWrapper that forwards everything.
class LocalTestEnvironment final : public FileSystemEnvironment {
 public:
  LocalTestEnvironment(const zel::CLocalFileSystem::Options& options, bool wrapped)
      : options(options), wrapped(wrapped) {}

  zel::P<zel::IFileSystem> makeFileSystem(int completionThreads) override {
    zel::CLocalFileSystem::Options chosen = options;
    chosen.completionThreads = completionThreads;
    zel::P<zel::IFileSystem> local = zel::make<zel::CLocalFileSystem>(chosen);
    if (!wrapped) return local;
    return zel::make<zel::CFileSystemWrapper>(local);
  }
  zel::CURI getRoot() const override { return folder.uri(); }
  std::vector<std::string> listRaw(const zel::CURI& location) override {
    return listRawNames(location.toLocalPath());
  }

  // A FileSystemKind for the conformance tests.
  static FileSystemKind kind(std::string name, const zel::CLocalFileSystem::Options& options,
                             bool wrapped) {
    return FileSystemKind{std::move(name), [options, wrapped] {
                            return std::make_unique<LocalTestEnvironment>(options, wrapped);
                          }};
  }

 private:
  TempFolder folder;
  const zel::CLocalFileSystem::Options options;
  const bool wrapped;
};

}  // namespace fleck_test
