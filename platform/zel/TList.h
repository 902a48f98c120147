#pragma once

#include <cstdint>
#include <list>

namespace zel {

// A doubly linked list: std::list with the few names the library uses. Iterators stay
// valid while other elements are added or removed.
template <class T>
class TList : public std::list<T> {
 public:
  using std::list<T>::list;

  void add(const T& value) { this->push_back(value); }
  void addFirst(const T& value) { this->push_front(value); }
  std::int64_t getCount() const noexcept { return static_cast<std::int64_t>(this->size()); }
  bool isEmpty() const noexcept { return this->empty(); }
};

}  // namespace zel
