#include "support/ScratchFolder.h"

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace fleck::bench {

ScratchFolder::ScratchFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern =
      std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/fleck-bench-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot make a scratch folder from " + pattern);
  }
  folder = pattern;
}

ScratchFolder::~ScratchFolder() {
  std::error_code error;
  std::filesystem::remove_all(folder, error);
  // A disk left behind under /tmp is worth a line, never an exception.
  if (error)
    std::fprintf(stderr, "could not remove %s: %s\n", folder.c_str(), error.message().c_str());
}

}  // namespace fleck::bench
