#pragma once

#include <cstddef>
#include <list>
#include <map>
#include <utility>
#include <vector>

#include "zel/CBase.h"
#include "zel/TList.h"

namespace zel {

// A map of at most `capacity` entries that forgets the least recently used one first.
// Looking a key up or inserting it makes it the most recent. Finding a key takes
// O(log n) (an ordered map); moving an entry to the front takes O(1) (the map entry
// holds its place in the recency list).
//
// With autoTrim (the usual case) every insert of a new key trims the cache back to its
// capacity at once; without it the cache grows until trim() is called, for callers that
// want to decide when entries go. Entries trimmed away are appended to the eviction
// list when one is attached, so that the caller can finish them (write them back,
// return their buffers).
//
// Failures: an insert that cannot allocate leaves the cache as it was; a trim that
// cannot append to the eviction list stops with the entry still in the cache.
//
// Not thread-safe: one owner at a time, no lock. Pointers returned by lookup stay
// valid until that entry leaves the cache.
template <class K, class V>
class TMostRecentlyUsedCache final : public CBase {
 public:
  using EvictionList = TList<std::pair<K, V>>;

  // A negative capacity counts as 0.
  explicit TMostRecentlyUsedCache(int capacity, bool autoTrim = true)
      : capacity(capacity > 0 ? capacity : 0), autoTrim(autoTrim) {}
  // A copy would have to rebuild the iterators into the recency list; nobody needs one.
  TMostRecentlyUsedCache(const TMostRecentlyUsedCache&) = delete;
  TMostRecentlyUsedCache& operator=(const TMostRecentlyUsedCache&) = delete;

  int getCapacity() const noexcept { return capacity; }
  bool isAutoTrim() const noexcept { return autoTrim; }
  void setAutoTrim(bool on) noexcept { autoTrim = on; }

  // Attaches the list that receives trimmed entries (not owned; null detaches). It must
  // outlive the attachment.
  void setEvictionList(EvictionList* list) noexcept { evictionList = list; }

  // The value of `key`, made the most recent; null when the key is absent.
  V* lookup(const K& key) {
    const auto found = entries.find(key);
    if (found == entries.end()) return nullptr;
    touch(found->second);
    return &found->second.value;
  }

  // Whether `key` is cached; the recency order stays as it is.
  bool contains(const K& key) const { return entries.find(key) != entries.end(); }

  // Sets the value of `key` and makes it the most recent. A new key may push the least
  // recent entries out (with autoTrim).
  void insert(const K& key, V value) {
    const auto found = entries.find(key);
    if (found != entries.end()) {
      found->second.value = std::move(value);
      touch(found->second);
      return;
    }
    recency.push_front(key);
    try {
      entries.emplace(key, Entry{std::move(value), recency.begin()});
    } catch (...) {
      recency.pop_front();
      throw;
    }
    if (autoTrim) trim();
  }

  // Removes `key` without passing it to the eviction list; false when it was absent.
  bool remove(const K& key) {
    const auto found = entries.find(key);
    if (found == entries.end()) return false;
    recency.erase(found->second.place);
    entries.erase(found);
    return true;
  }

  // Removes every entry for which predicate(key, value) is true (not passed to the
  // eviction list); returns how many went.
  template <class Predicate>
  std::size_t removeIf(Predicate predicate) {
    std::size_t removed = 0;
    for (auto it = entries.begin(); it != entries.end();) {
      if (predicate(it->first, static_cast<const V&>(it->second.value))) {
        recency.erase(it->second.place);
        it = entries.erase(it);
        ++removed;
      } else {
        ++it;
      }
    }
    return removed;
  }

  // Removes least recent entries until at most `capacity` remain, appending each to
  // the eviction list when one is attached.
  void trim() {
    while (entries.size() > static_cast<std::size_t>(capacity)) {
      const auto victim = entries.find(recency.back());
      if (evictionList != nullptr)
        evictionList->add(std::make_pair(victim->first, victim->second.value));
      entries.erase(victim);
      recency.pop_back();
    }
  }

  std::size_t size() const noexcept { return entries.size(); }
  bool isEmpty() const noexcept { return entries.empty(); }
  // Removes every entry (not passed to the eviction list).
  void clear() noexcept {
    entries.clear();
    recency.clear();
  }

  // The keys from the most to the least recent; for tests and diagnostics.
  std::vector<K> getKeysMostRecentFirst() const {
    return std::vector<K>(recency.begin(), recency.end());
  }

 private:
  struct Entry {
    V value;
    typename std::list<K>::iterator place;  // this key's node in `recency`
  };

  void touch(Entry& entry) noexcept { recency.splice(recency.begin(), recency, entry.place); }

  int capacity;
  bool autoTrim;
  EvictionList* evictionList = nullptr;
  std::map<K, Entry> entries;
  std::list<K> recency;  // most recent first
};

}  // namespace zel
