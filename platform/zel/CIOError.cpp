#include "zel/CIOError.h"

namespace zel {

CIOError::CIOError(Code code, String message, CProps props, const CError* cause)
    : CError(std::move(message), String(), code, std::move(props), cause) {}

}  // namespace zel
