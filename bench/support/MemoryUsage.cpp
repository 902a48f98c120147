#include "support/MemoryUsage.h"

#include <malloc.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace fleck::bench {

namespace {

// A "Name:   1234 kB" line of /proc/self/status, in bytes.
std::int64_t statusField(const char* name) {
  std::ifstream in("/proc/self/status");
  const std::size_t length = std::strlen(name);
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, length, name) == 0 && line.size() > length && line[length] == ':') {
      return std::stoll(line.substr(length + 1)) * 1024;
    }
  }
  return -1;
}

}  // namespace

std::int64_t residentBytes() {
  return statusField("VmRSS");
}

std::int64_t peakResidentBytes() {
  return statusField("VmHWM");
}

bool trimAndResetPeakResident() {
  malloc_trim(0);
  std::FILE* file = std::fopen("/proc/self/clear_refs", "w");
  if (file == nullptr) return false;
  const bool written = std::fputs("5", file) >= 0;
  return std::fclose(file) == 0 && written;
}

}  // namespace fleck::bench
