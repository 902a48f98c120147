// The libFuzzer entry of the target FLECK_FUZZ_TARGET names (one binary per target).
#include "FuzzTargets.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto run = [] {
    for (const auto& target : fleck::test::getFuzzTargets())
      if (target.name == FLECK_FUZZ_TARGET) return target.run;
    __builtin_trap();  // no such target
  }();
  run(data, size);
  return 0;
}
