#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

namespace zel {

// Wide text. Holds Unicode code points (wchar_t is 32 bits on the platforms we
// build for); files and the operating system get UTF-8 through toUTF8/fromUTF8.
// Narrow literals and char pointers are read as UTF-8.
class String : public std::wstring {
 public:
  using std::wstring::wstring;
  String() = default;
  String(const std::wstring& text) : std::wstring(text) {}
  String(std::wstring&& text) noexcept : std::wstring(std::move(text)) {}
  String(const char* utf8) : String(fromUTF8(utf8)) {}

  // The UTF-8 bytes of this text. Code points that cannot be encoded (surrogates,
  // values above U+10FFFF) become U+FFFD.
  std::string toUTF8() const;

  // Decodes UTF-8; malformed sequences become U+FFFD, one per bad byte.
  static String fromUTF8(std::string_view utf8);

  // Signed decimal text of a number.
  static String fromInt64(std::int64_t value);

  bool startsWith(std::wstring_view prefix) const noexcept {
    return std::wstring_view(*this).starts_with(prefix);
  }
  bool endsWith(std::wstring_view suffix) const noexcept {
    return std::wstring_view(*this).ends_with(suffix);
  }
};

// Parses signed decimal text (an optional '+' or '-' followed by digits), or, when
// allowHex is true, also hexadecimal text with a "0x" prefix after the sign.
// Throws zel::CError on empty or malformed text and on overflow.
std::int64_t parseInt64(const String& text, bool allowHex);

// The bytes as lowercase hexadecimal text, two digits a byte.
std::string toHex(const void* data, std::size_t length);

// Lets GoogleTest and streams print a String readably.
std::ostream& operator<<(std::ostream& out, const String& text);
void PrintTo(const String& text, std::ostream* out);

}  // namespace zel
