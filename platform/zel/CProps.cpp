#include "zel/CProps.h"

namespace zel {

CProps& CProps::add(const String& key, const String& value) {
  for (auto& entry : entries) {
    if (entry.first == key) {
      entry.second = value;
      return *this;
    }
  }
  entries.emplace_back(key, value);
  return *this;
}

CProps& CProps::addAll(const CProps& other) {
  if (&other == this) return *this;
  for (const auto& entry : other.entries)
    add(entry.first, entry.second);
  return *this;
}

String CProps::lookup(const String& key) const {
  const String* value = find(key);
  return value != nullptr ? *value : String();
}

const String* CProps::find(const String& key) const noexcept {
  for (const auto& entry : entries) {
    if (entry.first == key) return &entry.second;
  }
  return nullptr;
}

String CProps::toString() const {
  String out;
  for (const auto& entry : entries) {
    if (!out.empty()) out += L", ";
    out += entry.first;
    out += L'=';
    out += entry.second;
  }
  return out;
}

}  // namespace zel
