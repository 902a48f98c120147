#pragma once

#include <string>

#include "zel/CURI.h"

namespace fleck::test {

// A fresh folder under the system's temporary folder, removed with everything in it
// when the object ends.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return folder; }
  zel::CURI uri() const { return zel::CURI::fromLocalPath(folder); }

 private:
  std::string folder;
};

// Whole-file helpers for tests that damage or inspect files behind the library's back.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

}  // namespace fleck::test
