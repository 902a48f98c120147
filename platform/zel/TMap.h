#pragma once

#include <cstdint>
#include <map>

namespace zel {

// An ordered map: std::map with the few names the library uses. Iteration runs in
// ascending key order.
template <class K, class V, class Compare = std::less<K>>
class TMap : public std::map<K, V, Compare> {
 public:
  using std::map<K, V, Compare>::map;

  // The value stored for `key`, or nullptr.
  V* lookup(const K& key) {
    auto it = this->find(key);
    return it != this->end() ? &it->second : nullptr;
  }
  const V* lookup(const K& key) const {
    auto it = this->find(key);
    return it != this->end() ? &it->second : nullptr;
  }
  // Stores `value` under `key`, replacing an earlier value.
  void put(const K& key, const V& value) { this->insert_or_assign(key, value); }
  std::int64_t getCount() const noexcept { return static_cast<std::int64_t>(this->size()); }
  bool isEmpty() const noexcept { return this->empty(); }
};

}  // namespace zel
