#pragma once

#include <compare>
#include <string>
#include <vector>

#include "zel/String.h"

namespace zel {

// A file-system location: an optional scheme and authority, and a path of components.
//
// Text forms (what toString(true) writes and the constructor reads back):
//   ""                       the empty location
//   "/a/b"                   a local absolute path (no scheme)
//   "s3://bucket/a/b"        scheme "s3", authority "bucket", path a/b
//   "a/b", "../a"            relative paths, to be appended to a folder
// In that text, '%', '/' and control characters inside a component are written as
// %XX escapes of their UTF-8 bytes; the constructor decodes them ('%' not followed by
// two hex digits stays as it is). "file:///a" is read as the local path "/a". Empty
// components ("a//b", a trailing slash) are dropped, so a folder has one text form.
//
// A value type; operations never change their object, they return a new location.
class CURI {
 public:
  CURI() = default;
  explicit CURI(const String& text);

  // A local path as the operating system spells it (no escapes). A relative path is
  // taken relative to the current working folder.
  static CURI fromLocalPath(const std::string& path);

  bool isEmpty() const noexcept {
    return scheme.empty() && authority.empty() && !absolute && components.empty();
  }
  bool isAbsolute() const noexcept { return absolute; }
  bool isLocal() const noexcept { return absolute && scheme.empty(); }
  const String& getScheme() const noexcept { return scheme; }
  const String& getAuthority() const noexcept { return authority; }
  const std::vector<String>& getComponents() const noexcept { return components; }
  // The last path component, or empty text.
  String getName() const { return components.empty() ? String() : components.back(); }

  // This location with one more path component. Throws zel::CInvalidArgError for an
  // empty component.
  [[nodiscard]] CURI operator<<(const String& component) const;
  [[nodiscard]] CURI operator<<(const char* component) const { return *this << String(component); }
  // This location followed by the components of a relative location. Throws
  // zel::CInvalidArgError when `relative` is absolute.
  [[nodiscard]] CURI operator<<(const CURI& relative) const;

  // Without the last component. The parent of a root is the root; the parent of a
  // relative location with one component is the empty location.
  CURI getParent() const;

  // "." and ".." resolved, scheme in lower case. ".." at the root of an absolute
  // location stays at the root; leading ".." of a relative location stay.
  CURI toNormalized() const;

  // The relative location that leads from `base` to this one, so that
  // (base << toRelative(base)).toNormalized() == toNormalized(). The same folder gives
  // ".". Throws zel::CError when either is relative or they differ in scheme or
  // authority.
  CURI toRelative(const CURI& base) const;

  // The text form; with escaped true exactly what the constructor parses back to an
  // equal location, with false the components as they are (for people to read).
  String toString(bool escaped = true) const;

  // The operating system's path of a local absolute location. Throws
  // zel::CInvalidArgError for other locations and for components holding '/' or NUL.
  std::string toLocalPath() const;

  bool operator==(const CURI& other) const = default;
  auto operator<=>(const CURI& other) const = default;

 private:
  String scheme;
  String authority;
  bool absolute = false;
  std::vector<String> components;
};

void PrintTo(const CURI& uri, std::ostream* out);

}  // namespace zel
