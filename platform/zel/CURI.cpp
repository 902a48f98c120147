#include "zel/CURI.h"

#include <unistd.h>

#include <cerrno>
#include <cwctype>
#include <ostream>

#include "zel/CError.h"
#include "zel/CInvalidArgError.h"

namespace zel {

namespace {

bool isSchemeChar(wchar_t c, bool first) {
  const bool alpha = (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
  if (first) return alpha;
  return alpha || (c >= L'0' && c <= L'9') || c == L'+' || c == L'-' || c == L'.';
}

int hexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

// Decodes %XX escapes: consecutive escapes form UTF-8 byte sequences.
String unescape(std::wstring_view text) {
  if (text.find(L'%') == std::wstring_view::npos) return String(text);
  String out;
  std::string bytes;
  auto flush = [&] {
    if (!bytes.empty()) out += String::fromUTF8(bytes);
    bytes.clear();
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
        hexValue(text[i + 2]) >= 0) {
      bytes.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
      i += 2;
    } else {
      flush();
      out.push_back(text[i]);
    }
  }
  flush();
  return out;
}

String escape(const String& text) {
  String out;
  for (wchar_t c : text) {
    if (c == L'%' || c == L'/' || (c >= 0 && c < 0x20) || c == 0x7F) {
      static const wchar_t* digits = L"0123456789ABCDEF";
      out.push_back(L'%');
      out.push_back(digits[(c >> 4) & 0xF]);
      out.push_back(digits[c & 0xF]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

void splitPath(std::wstring_view path, std::vector<String>& components) {
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find(L'/', start);
    if (end == std::wstring_view::npos) end = path.size();
    if (end > start) components.push_back(unescape(path.substr(start, end - start)));
    start = end + 1;
  }
}

String lower(const String& text) {
  String out = text;
  for (auto& c : out)
    c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return out;
}

}  // namespace

CURI::CURI(const String& text) {
  std::wstring_view view(text);
  // scheme "://" authority path
  std::size_t i = 0;
  while (i < view.size() && isSchemeChar(view[i], i == 0))
    ++i;
  if (i > 0 && view.substr(i).starts_with(L"://")) {
    scheme = lower(String(view.substr(0, i)));
    std::wstring_view rest = view.substr(i + 3);
    std::size_t slash = rest.find(L'/');
    authority = unescape(rest.substr(0, slash));
    absolute = true;
    if (slash != std::wstring_view::npos) splitPath(rest.substr(slash), components);
    if (scheme == L"file" && authority.empty()) scheme.clear();
    return;
  }
  if (!view.empty() && view[0] == L'/') absolute = true;
  splitPath(view, components);
}

CURI CURI::fromLocalPath(const std::string& path) {
  std::string full = path;
  if (full.empty() || full[0] != '/') {
    std::string cwd(4096, '\0');
    if (::getcwd(cwd.data(), cwd.size()) == nullptr) {
      const int errorNumber = errno;  // before anything that allocates
      CProps props;
      props.add("path", String::fromUTF8(path));
      throw CError("Cannot determine the current folder", "zel::CURI::fromLocalPath", errorNumber,
                   props);
    }
    cwd.resize(std::char_traits<char>::length(cwd.c_str()));
    full = cwd + "/" + full;
  }
  CURI uri;
  uri.absolute = true;
  std::size_t start = 0;
  while (start <= full.size()) {
    std::size_t end = full.find('/', start);
    if (end == std::string::npos) end = full.size();
    if (end > start) uri.components.push_back(String::fromUTF8(full.substr(start, end - start)));
    start = end + 1;
  }
  return uri;
}

CURI CURI::operator<<(const String& component) const {
  if (component.empty()) {
    throw CInvalidArgError("zel::CURI::operator<<", "empty path component",
                           CProps().add("uri", toString(true)));
  }
  CURI result = *this;
  result.components.push_back(component);
  return result;
}

CURI CURI::operator<<(const CURI& relative) const {
  if (relative.absolute) {
    throw CInvalidArgError(
        "zel::CURI::operator<<", "cannot append an absolute location",
        CProps().add("uri", toString(true)).add("appended", relative.toString(true)));
  }
  CURI result = *this;
  result.components.insert(result.components.end(), relative.components.begin(),
                           relative.components.end());
  return result;
}

CURI CURI::getParent() const {
  CURI result = *this;
  if (!result.components.empty()) result.components.pop_back();
  return result;
}

CURI CURI::toNormalized() const {
  CURI result;
  result.scheme = lower(scheme);
  result.authority = authority;
  result.absolute = absolute;
  if (result.scheme == L"file" && result.authority.empty()) result.scheme.clear();
  for (const auto& c : components) {
    if (c == L".") continue;
    if (c == L"..") {
      if (!result.components.empty() && result.components.back() != L"..") {
        result.components.pop_back();
      } else if (!absolute) {
        result.components.push_back(c);
      }
      continue;
    }
    result.components.push_back(c);
  }
  return result;
}

CURI CURI::toRelative(const CURI& base) const {
  const CURI target = toNormalized();
  const CURI from = base.toNormalized();
  if (!target.absolute || !from.absolute || target.scheme != from.scheme ||
      target.authority != from.authority) {
    CProps props;
    props.add("uri", toString(true));
    props.add("base", base.toString(true));
    throw CError("No relative location leads from the base to this location",
                 "zel::CURI::toRelative", -1, props);
  }
  std::size_t common = 0;
  while (common < target.components.size() && common < from.components.size() &&
         target.components[common] == from.components[common]) {
    ++common;
  }
  CURI result;
  for (std::size_t i = common; i < from.components.size(); ++i)
    result.components.push_back(L"..");
  for (std::size_t i = common; i < target.components.size(); ++i) {
    result.components.push_back(target.components[i]);
  }
  if (result.components.empty()) result.components.push_back(L".");
  return result;
}

String CURI::toString(bool escaped) const {
  auto part = [escaped](const String& text) { return escaped ? escape(text) : text; };
  String out;
  if (!scheme.empty() || !authority.empty()) {
    out += scheme.empty() ? String(L"file") : scheme;
    out += L"://";
    out += part(authority);
  }
  if (absolute && components.empty()) out += L'/';
  for (std::size_t i = 0; i < components.size(); ++i) {
    if (absolute || i > 0) out += L'/';
    out += part(components[i]);
  }
  return out;
}

std::string CURI::toLocalPath() const {
  if (!isLocal()) {
    throw CInvalidArgError("zel::CURI::toLocalPath", "not a local absolute location",
                           CProps().add("uri", toString(true)));
  }
  std::string path;
  for (const auto& c : components) {
    if (c.find(L'/') != String::npos || c.find(L'\0') != String::npos) {
      throw CInvalidArgError("zel::CURI::toLocalPath",
                             "path component holds a character the local file system cannot store",
                             CProps().add("uri", toString(true)));
    }
    path += '/';
    path += c.toUTF8();
  }
  return path.empty() ? std::string("/") : path;
}

void PrintTo(const CURI& uri, std::ostream* out) {
  *out << '"' << uri.toString(true).toUTF8() << '"';
}

}  // namespace zel
