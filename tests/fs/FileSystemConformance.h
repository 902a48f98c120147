#pragma once

// The contract of zel::IFileSystem as tests. Every implementation joins by
// instantiating FileSystemConformance with a FileSystemKind:
//
//   INSTANTIATE_TEST_SUITE_P(Mine, FileSystemConformance,
//                            ::testing::Values(FileSystemKind{"Mine", makeMyEnvironment}),
//                            fileSystemKindName);

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "zel/CURI.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"

namespace fleck_test {

// Storage for one test and the way to make file systems on it.
class FileSystemEnvironment {
 public:
  virtual ~FileSystemEnvironment() = default;
  // A new file system object on this storage, with its own completion threads. Several
  // may live at once and see the same files.
  virtual zel::P<zel::IFileSystem> makeFileSystem(int completionThreads) = 0;
  // An existing, empty folder for the test.
  virtual zel::CURI getRoot() const = 0;
  // Every name in `folder`, the file system's temporary files included, read past the
  // file system. Sorted.
  virtual std::vector<std::string> listRaw(const zel::CURI& folder) = 0;

  // Folders exist on their own: an empty one exists, creating one that exists or whose
  // parent is missing fails, a store or CreateNew into a missing folder is NotFound, and
  // a file in a path ("file/x") blocks it. False where a folder is only a name prefix
  // that exists while something lies below it; the tests then leave those checks out.
  virtual bool hasRealFolders() const { return true; }
};

struct FileSystemKind {
  std::string name;
  std::function<std::unique_ptr<FileSystemEnvironment>()> makeEnvironment;
};

inline void PrintTo(const FileSystemKind& kind, std::ostream* out) {
  *out << kind.name;
}

inline std::string fileSystemKindName(const ::testing::TestParamInfo<FileSystemKind>& info) {
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

  // A location in the test's folder.
  zel::CURI at(const char* relative) const { return root << zel::CURI(relative); }
  // Raw names in the test's folder (or a folder below it).
  std::vector<std::string> rawNames(const char* relative = nullptr) const {
    return environment->listRaw(relative == nullptr ? root : at(relative));
  }

  std::unique_ptr<FileSystemEnvironment> environment;
  zel::P<zel::IFileSystem> fs;
  zel::CURI root;
};

}  // namespace fleck_test
