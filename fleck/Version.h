#pragma once

#include "zel/String.h"

namespace fleck {

// The version of this build of the library, "major.minor.patch".
zel::String getLibraryVersion();

}  // namespace fleck
