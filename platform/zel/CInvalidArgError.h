#pragma once

#include "zel/CError.h"

namespace zel {

// A caller passed an argument that the operation named by `source` cannot take.
class CInvalidArgError : public CError {
 public:
  CInvalidArgError(String source, String message, CProps props = CProps());
  ZEL_ERROR_CLONE_OPERATIONS(CInvalidArgError)
};

}  // namespace zel
