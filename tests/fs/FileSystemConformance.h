#pragma once

// The contract of zel::IFileSystem as tests. Every implementation joins with
//   INSTANTIATE_TEST_SUITE_P(Mine, FileSystemConformance,
//                            ::testing::Values(FileSystemKind{"Mine", makeMine}), kindName);

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zel/CURI.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"

namespace fleck::test {

// Storage for one test and the way to make file systems on it.
class FileSystemEnvironment {
 public:
  virtual ~FileSystemEnvironment() = default;
  // A new file system object on this storage with its own completion threads; several
  // may live at once and see the same files (as several processes would).
  virtual zel::P<zel::IFileSystem> makeFileSystem(int completionThreads) = 0;
  // An existing, empty folder for the test.
  virtual zel::CURI getRoot() const = 0;
  // Every name in `folder`, temporary files included, read past the file system. Sorted.
  virtual std::vector<std::string> listRaw(const zel::CURI& folder) = 0;
  // False where a folder is only a name prefix: creating one writes nothing, it exists
  // while something lies below it, parents are never checked and a key below a file is
  // just another key.
  virtual bool hasRealFolders() const { return true; }
};

struct FileSystemKind {
  std::string name;
  std::function<std::unique_ptr<FileSystemEnvironment>()> makeEnvironment;
};

inline std::string kindName(const ::testing::TestParamInfo<FileSystemKind>& info) {
  return info.param.name;
}

class FileSystemConformance : public ::testing::TestWithParam<FileSystemKind> {
 protected:
  void SetUp() override {
    environment = GetParam().makeEnvironment();
    fs = environment->makeFileSystem(2);
    root = environment->getRoot();
  }
  void TearDown() override {
    fs = nullptr;
    environment.reset();
  }

  zel::CURI at(const std::string& relative) const {
    return relative.empty() ? root : root << zel::CURI(zel::String::fromUTF8(relative));
  }
  std::vector<std::string> rawNames(const std::string& relative = "") const {
    return environment->listRaw(at(relative));
  }

  std::unique_ptr<FileSystemEnvironment> environment;
  zel::P<zel::IFileSystem> fs;
  zel::CURI root;
};

}  // namespace fleck::test
