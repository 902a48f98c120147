#include "TempFolder.h"

#include <dirent.h>
#include <ftw.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "zel/CError.h"

namespace fleck_test {

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  if (::remove(path) != 0) std::perror(path);
  return 0;  // remove what can be removed
}

}  // namespace

TempFolder::TempFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/fleck-fs-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw zel::CError("mkdtemp failed", "TempFolder", errno,
                      zel::CProps().add("pattern", zel::String::fromUTF8(pattern)));
  }
  path = pattern;
}

TempFolder::~TempFolder() {
  ::nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::vector<std::string> listRawNames(const std::string& folder) {
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

int countOpenDescriptors() {
  // The descriptor opendir takes for itself is counted too, the same every time.
  return static_cast<int>(listRawNames("/proc/self/fd").size());
}

}  // namespace fleck_test
