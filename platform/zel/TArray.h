#pragma once

#include <cstdint>
#include <vector>

namespace zel {

// A contiguous array: std::vector with the few names the library uses.
template <class T>
class TArray : public std::vector<T> {
 public:
  using std::vector<T>::vector;

  void add(const T& value) { this->push_back(value); }
  std::int64_t getCount() const noexcept { return static_cast<std::int64_t>(this->size()); }
  bool isEmpty() const noexcept { return this->empty(); }
};

}  // namespace zel
