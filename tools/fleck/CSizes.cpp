#include "CSizes.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <limits>

#include "CCliError.h"

namespace fleck::cli {

namespace {

std::string lower(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

[[noreturn]] void refuse(const std::string& text, const std::string& what, const std::string& why) {
  throw CCliError::usage(zel::String::fromUTF8(what + ": '" + text + "' " + why));
}

}  // namespace

std::int64_t CSizes::parse(const std::string& text, const std::string& what) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
    ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  const std::size_t digitsStart = i;
  std::uint64_t whole = 0;
  constexpr std::uint64_t kLimit = std::numeric_limits<std::int64_t>::max();
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
    whole = whole * 10 + static_cast<std::uint64_t>(text[i++] - '0');
    if (whole > kLimit) refuse(text, what, "is too large");
  }
  std::string fraction;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])))
      fraction += text[i++];
  }
  if (i == digitsStart || (i == digitsStart + 1 && text[digitsStart] == '.')) {
    refuse(text, what, "is not a size (examples: 4096, 512K, 64MiB, 1.5G)");
  }
  std::string suffix = text.substr(i);
  while (!suffix.empty() && std::isspace(static_cast<unsigned char>(suffix.back())))
    suffix.pop_back();
  while (!suffix.empty() && std::isspace(static_cast<unsigned char>(suffix.front())))
    suffix.erase(0, 1);
  const std::string unit = lower(suffix);

  int shift = -1;
  if (unit.empty() || unit == "b") shift = 0;
  if (unit == "k" || unit == "kib") shift = 10;
  if (unit == "m" || unit == "mib") shift = 20;
  if (unit == "g" || unit == "gib") shift = 30;
  if (unit == "t" || unit == "tib") shift = 40;
  if (shift < 0) {
    if (unit == "kb" || unit == "mb" || unit == "gb" || unit == "tb") {
      refuse(text, what,
             "is ambiguous: write " + suffix.substr(0, 1) + " or " + suffix.substr(0, 1) +
                 "iB (powers of 1024)");
    }
    refuse(text, what, "has an unknown unit (use K, M, G, T or KiB, MiB, GiB, TiB)");
  }
  if (!fraction.empty() && shift == 0) refuse(text, what, "is not a whole number of bytes");
  if (shift > 0 && whole > (kLimit >> shift)) refuse(text, what, "is too large");
  std::uint64_t bytes = whole << shift;
  if (!fraction.empty()) {
    // At most 40 bits of scale times a fraction below 1: long double keeps it exact
    // enough for a byte count.
    const long double part =
        std::stold("0." + fraction) * static_cast<long double>(std::uint64_t{1} << shift);
    bytes += static_cast<std::uint64_t>(std::floor(part));
    if (bytes > kLimit) refuse(text, what, "is too large");
  }
  const auto value = static_cast<std::int64_t>(bytes);
  return negative ? -value : value;
}

std::string CSizes::format(std::int64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (std::fabs(value) >= 1024.0 && unit < 5) {
    value /= 1024.0;
    ++unit;
  }
  char text[64];
  if (unit == 0) {
    std::snprintf(text, sizeof(text), "%lld B", static_cast<long long>(bytes));
  } else {
    std::snprintf(text, sizeof(text), "%.1f %s", value, kUnits[unit]);
  }
  return text;
}

std::string CSizes::formatRate(std::int64_t bytes, double seconds) {
  char text[32];
  if (seconds <= 0) return "-";
  std::snprintf(text, sizeof(text), "%.1f", static_cast<double>(bytes) / seconds / 1e6);
  return text;
}

}  // namespace fleck::cli
