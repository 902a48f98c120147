#pragma once

#include <string>
#include <vector>

#include "zel/CURI.h"

namespace fleck_test {

// A fresh folder under $TMPDIR (or /tmp), made with mkdtemp and removed with all its
// contents when the object goes. For tests; failures to make it throw zel::CError.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& getPath() const noexcept { return path; }
  zel::CURI getURI() const { return zel::CURI::fromLocalPath(path); }

 private:
  std::string path;
};

// Every name in a folder except "." and "..", read with readdir, past any file system
// object: hidden and temporary files included. Sorted. Throws zel::CError on failure.
std::vector<std::string> listRawNames(const std::string& folder);

// Number of file descriptors the process has open right now.
int countOpenDescriptors();

}  // namespace fleck_test
