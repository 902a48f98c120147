#include "zel/CInvalidArgError.h"

namespace zel {

CInvalidArgError::CInvalidArgError(String source, String message, CProps props)
    : CError(std::move(message), std::move(source), -1, std::move(props)) {}

}  // namespace zel
