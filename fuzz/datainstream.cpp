// libFuzzer entry of the "datainstream" target; the work is in FuzzTargets.cpp, shared with the
// regression test.
#include <cstddef>
#include <cstdint>

#include "FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fleck::fuzz::runDataInStream(data, size);
  return 0;
}
