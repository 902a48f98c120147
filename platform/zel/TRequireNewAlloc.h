#pragma once

#include <type_traits>
#include <utility>

#include "zel/CError.h"

namespace zel {

// Base for classes whose objects may only live on the heap, made with `new` and held
// through zel::P (a storer, for example, must outlive the call that starts it). Making
// such an object any other way throws zel::CError from its constructor.
template <class Base>
class TRequireNewAlloc : public Base {
 public:
  TRequireNewAlloc() { requireHeap(); }
  // A copy or a move is another way of making an object; the implicit ones would skip
  // the check.
  TRequireNewAlloc(const TRequireNewAlloc& other) requires std::is_copy_constructible_v<Base>
      : Base(other) {
    requireHeap();
  }
  TRequireNewAlloc(TRequireNewAlloc&& other) requires std::is_move_constructible_v<Base>
      : Base(std::move(other)) {
    requireHeap();
  }
  TRequireNewAlloc& operator=(const TRequireNewAlloc&) = default;
  TRequireNewAlloc& operator=(TRequireNewAlloc&&) = default;

  // (clang-format 14 cannot lay out requires-clauses.)
  // clang-format off
  template <class First, class... Rest>
    requires(!std::is_same_v<std::remove_cvref_t<First>, TRequireNewAlloc>)
  explicit TRequireNewAlloc(First&& first, Rest&&... rest)
      : Base(std::forward<First>(first), std::forward<Rest>(rest)...) {
    requireHeap();
  }
  // clang-format on

 private:
  void requireHeap() const {
    if (!this->isHeapAllocated()) {
      throw CError("INTERNAL ERROR: an object of a heap-only class was not made with new.");
    }
  }
};

}  // namespace zel
