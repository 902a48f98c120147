#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "zel/String.h"

namespace zel {

// Throws the zel::CError every compressor uses, so that callers and logs see one shape:
//   message  "<compressor> <operation>: <problem>"
//   source   "<className>::<operation>"
//   code     the library's error code, or -1 when there is none
//   props    compressor, operation, libraryCode and libraryError (when the library gave
//            them), sourceLength, capacity
// libraryCode is empty when a check of our own failed; `libraryError` may be null.
[[noreturn]] void throwCompressError(const String& compressor, const char* className,
                                     const char* operation, const String& problem,
                                     std::optional<std::int64_t> libraryCode,
                                     const char* libraryError, std::size_t sourceLength,
                                     std::size_t capacity);

}  // namespace zel
