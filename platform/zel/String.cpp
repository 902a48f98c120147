#include "zel/String.h"

#include <ostream>

#include "zel/CError.h"

namespace zel {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void appendUTF8(std::string& out, char32_t c) {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = kReplacement;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace

std::string String::toUTF8() const {
  std::string out;
  out.reserve(size());
  for (wchar_t c : *this)
    appendUTF8(out, static_cast<char32_t>(static_cast<std::uint32_t>(c)));
  return out;
}

String String::fromUTF8(std::string_view utf8) {
  String out;
  out.reserve(utf8.size());
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto* end = p + utf8.size();
  while (p < end) {
    const unsigned char b = *p;
    int extra;
    char32_t c;
    char32_t minimum;
    if (b < 0x80) {
      out.push_back(static_cast<wchar_t>(b));
      ++p;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      extra = 1, c = b & 0x1F, minimum = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2, c = b & 0x0F, minimum = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3, c = b & 0x07, minimum = 0x10000;
    } else {
      out.push_back(static_cast<wchar_t>(kReplacement));
      ++p;
      continue;
    }
    bool ok = end - p > extra;
    for (int i = 1; ok && i <= extra; ++i) {
      if ((p[i] & 0xC0) != 0x80)
        ok = false;
      else
        c = (c << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are malformed.
    if (ok && (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) ok = false;
    if (!ok) {
      out.push_back(static_cast<wchar_t>(kReplacement));
      ++p;
      continue;
    }
    out.push_back(static_cast<wchar_t>(c));
    p += extra + 1;
  }
  return out;
}

String String::fromInt64(std::int64_t value) {
  return String::fromUTF8(std::to_string(value));
}

std::int64_t parseInt64(const String& text, bool allowHex) {
  auto fail = [&](const char* why) {
    CProps props;
    props.add("text", text);
    throw CError(String("Cannot parse integer: ") + String(why), "zel::parseInt64", -1, props);
  };
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) negative = text[i++] == L'-';
  unsigned base = 10;
  if (allowHex && i + 1 < text.size() && text[i] == L'0' &&
      (text[i + 1] == L'x' || text[i + 1] == L'X')) {
    base = 16;
    i += 2;
  }
  if (i == text.size()) fail(text.empty() ? "empty text" : "no digits");
  // Accumulate as a negative number so that INT64_MIN parses without overflow.
  constexpr std::int64_t kMin = INT64_MIN;
  std::int64_t value = 0;
  for (; i < text.size(); ++i) {
    const wchar_t c = text[i];
    int digit = 0;  // every other path fails; clang cannot see that fail() throws
    if (c >= L'0' && c <= L'9')
      digit = c - L'0';
    else if (base == 16 && c >= L'a' && c <= L'f')
      digit = c - L'a' + 10;
    else if (base == 16 && c >= L'A' && c <= L'F')
      digit = c - L'A' + 10;
    else
      fail("malformed text");
    if (value < (kMin + digit) / static_cast<std::int64_t>(base)) fail("overflow");
    value = value * static_cast<std::int64_t>(base) - digit;
  }
  if (!negative) {
    if (value == kMin) fail("overflow");
    value = -value;
  }
  return value;
}

std::ostream& operator<<(std::ostream& out, const String& text) {
  return out << text.toUTF8();
}

void PrintTo(const String& text, std::ostream* out) {
  *out << '"' << text.toUTF8() << '"';
}

std::string toHex(const void* data, std::size_t length) {
  static constexpr char kDigits[] = "0123456789abcdef";
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string text;
  text.reserve(2 * length);
  for (std::size_t i = 0; i < length; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

}  // namespace zel
