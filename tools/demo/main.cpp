// Demo: exercises what the library offers so far on an embedded default.
#include <cstdio>

#include "fleck/Version.h"

int main() {
  std::printf("fleck %s\n", fleck::getLibraryVersion().toUTF8().c_str());
  return 0;
}
