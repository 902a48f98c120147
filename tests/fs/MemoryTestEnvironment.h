#pragma once

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "FileSystemConformance.h"
#include "zel/CMemoryFileSystem.h"

namespace fleck_test {

// An in-memory file system; every object made shares the files of the first one.
class MemoryTestEnvironment final : public FileSystemEnvironment {
 public:
  explicit MemoryTestEnvironment(const zel::CMemoryFileSystem::Options& options)
      : options(options), files(zel::make<zel::CMemoryFileSystem>(options)) {
    files->createFolder(getRoot(), 0x1ff);
  }

  zel::P<zel::IFileSystem> makeFileSystem(int completionThreads) override {
    zel::CMemoryFileSystem::Options chosen = options;
    chosen.completionThreads = completionThreads;
    return zel::make<zel::CMemoryFileSystem>(chosen, *files);
  }
  zel::CURI getRoot() const override { return zel::CURI("/conformance"); }
  // Stores leave no temporary files: the listing is all there is.
  std::vector<std::string> listRaw(const zel::CURI& folder) override {
    std::vector<std::string> names;
    for (const auto& entry : files->listFolder(folder))
      names.push_back(entry.name.toUTF8());
    std::sort(names.begin(), names.end());
    return names;
  }

  static FileSystemKind kind(std::string name, const zel::CMemoryFileSystem::Options& options) {
    return FileSystemKind{std::move(name),
                          [options] { return std::make_unique<MemoryTestEnvironment>(options); }};
  }

 private:
  const zel::CMemoryFileSystem::Options options;
  const zel::P<zel::CMemoryFileSystem> files;
};

}  // namespace fleck_test
