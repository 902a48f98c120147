#include "keel/Batch.h"

#include <cstdlib>
#include <cstring>

namespace keel {

bool isBatchScalarForced() {
  static const bool forced = [] {
    const char* value = std::getenv("FLECK_KEEL_SCALAR");
    return value != nullptr && std::strcmp(value, "1") == 0;
  }();
  return forced;
}

}  // namespace keel
