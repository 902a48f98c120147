#pragma once

#include <cstdint>
#include <string>

namespace fleck::cli {

// Byte sizes as people write them on the command line and read them in reports.
// Suffixes are binary: K and KiB are 1024, M and MiB 1024², G/GiB 1024³, T/TiB 1024⁴
// (case does not matter; a plain number or a B suffix is bytes). "KB", "MB" ... are
// refused, since they are read as powers of 1000 by some tools and 1024 by others.
class CSizes final {
 public:
  CSizes() = delete;

  // The number of bytes `text` stands for. A fraction is allowed with a suffix
  // ("1.5G") and rounded down to a byte. Throws CCliError (usage) naming `what` for
  // malformed text and for sizes that do not fit in 63 bits; the sign is left to the
  // caller, so "0" and "-1K" parse (the callers refuse them with their own message).
  static std::int64_t parse(const std::string& text, const std::string& what);

  // "1.5 GiB", "512 KiB", "100 B".
  static std::string format(std::int64_t bytes);

  // Bytes per second in decimal megabytes per second ("123.4").
  static std::string formatRate(std::int64_t bytes, double seconds);
};

}  // namespace fleck::cli
