#include "compress/CompressError.h"

#include "zel/CError.h"
#include "zel/CProps.h"

namespace zel {

void throwCompressError(const String& compressor, const char* className, const char* operation,
                        const String& problem, std::optional<std::int64_t> libraryCode,
                        const char* libraryError, std::size_t sourceLength, std::size_t capacity) {
  String message = compressor;
  message += L' ';
  message += String(operation);
  message += L": ";
  message += problem;

  String source(className);
  source += L"::";
  source += String(operation);

  CProps props;
  props.add("compressor", compressor);
  props.add("operation", String(operation));
  if (libraryCode.has_value()) props.add("libraryCode", *libraryCode);
  if (libraryError != nullptr && *libraryError != '\0') {
    props.add("libraryError", String(libraryError));
  }
  props.add("sourceLength", sourceLength);
  props.add("capacity", capacity);
  throw CError(std::move(message), std::move(source), libraryCode.value_or(-1), std::move(props));
}

}  // namespace zel
