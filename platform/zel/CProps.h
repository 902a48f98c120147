#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "zel/String.h"

namespace zel {

// An ordered list of named text properties that travels with an error: the context of
// a failure (a path, a position, a size). Entries keep the order in which they were
// first added. A value type; not for concurrent modification.
class CProps {
 public:
  using Entry = std::pair<String, String>;

  // Adds key = value at the end, or replaces the value of an existing key in place.
  CProps& add(const String& key, const String& value);
  // Numbers are stored as decimal text, with a '-' when negative. Unsigned values
  // keep their value (UINT64_MAX is not -1).
  template <std::integral N>
  CProps& add(const String& key, N value) {
    if constexpr (std::is_unsigned_v<N>) {
      return add(key, String::fromUTF8(std::to_string(static_cast<std::uint64_t>(value))));
    } else {
      return add(key, String::fromInt64(static_cast<std::int64_t>(value)));
    }
  }
  // Adds every entry of `other`, in its order.
  CProps& addAll(const CProps& other);

  // The value of `key`, or empty text when there is none.
  String lookup(const String& key) const;
  // The value of `key`, or nullptr.
  const String* find(const String& key) const noexcept;
  bool has(const String& key) const noexcept { return find(key) != nullptr; }

  std::size_t size() const noexcept { return entries.size(); }
  bool isEmpty() const noexcept { return entries.empty(); }
  const Entry& operator[](std::size_t i) const { return entries[i]; }
  auto begin() const noexcept { return entries.begin(); }
  auto end() const noexcept { return entries.end(); }

  // "key=value, key=value"
  String toString() const;

  bool operator==(const CProps&) const = default;

 private:
  std::vector<Entry> entries;
};

}  // namespace zel
