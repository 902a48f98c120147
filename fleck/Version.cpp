#include "fleck/Version.h"

namespace fleck {

zel::String getLibraryVersion() {
  return "0.1.0";
}

}  // namespace fleck
