#pragma once

#include <cstddef>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "zel/IBase.h"

namespace zel {

// Counted pointer to an object derived from zel::IBase. Taking a P adds a reference,
// dropping it releases one. A P may be made from any raw pointer to such an object,
// also `this`; see zel::CBase for how heap and directly owned objects differ.
//
// A single P is not thread-safe to assign while another thread reads it; the object
// it points to may be shared freely, since counting is atomic.
template <class T>
class P {
 public:
  P() noexcept = default;
  P(std::nullptr_t) noexcept {}
  P(T* object) noexcept : ptr(object) {
    if (ptr != nullptr) ptr->addRef();
  }
  P(const P& other) noexcept : P(other.ptr) {}
  P(P&& other) noexcept : ptr(std::exchange(other.ptr, nullptr)) {}
  // (clang-format 14 cannot lay out requires-clauses.)
  // clang-format off
  template <class U>
    requires std::is_convertible_v<U*, T*>
  P(const P<U>& other) noexcept : P(other.get()) {}
  // clang-format on
  // clang-format off
  template <class U>
    requires std::is_convertible_v<U*, T*>
  P(P<U>&& other) noexcept : ptr(other.detach()) {}
  // clang-format on

  ~P() {
    if (ptr != nullptr) ptr->release();
  }

  P& operator=(const P& other) noexcept {
    P(other).swap(*this);
    return *this;
  }
  P& operator=(P&& other) noexcept {
    P(std::move(other)).swap(*this);
    return *this;
  }
  P& operator=(T* object) noexcept {
    P(object).swap(*this);
    return *this;
  }
  P& operator=(std::nullptr_t) noexcept {
    reset();
    return *this;
  }

  T* get() const noexcept { return ptr; }
  T* operator->() const noexcept { return ptr; }
  T& operator*() const noexcept { return *ptr; }
  operator T*() const noexcept { return ptr; }

  void reset() noexcept { P().swap(*this); }
  void swap(P& other) noexcept { std::swap(ptr, other.ptr); }

  // Gives up the reference without releasing it; the caller now owns it.
  [[nodiscard]] T* detach() noexcept { return std::exchange(ptr, nullptr); }

 private:
  T* ptr = nullptr;
};

// Counted pointer to a constant object.
template <class T>
using PC = P<const T>;

// Makes a heap object and returns the first counted reference to it.
template <class T, class... Args>
P<T> make(Args&&... args) {
  return P<T>(new T(std::forward<Args>(args)...));
}

// Views `object` as a T. Throws zel::CError (through checkCastAllowed) when it is not
// one. A null pointer gives a null pointer.
template <class T, class U>
P<T> castTo(const P<U>& object) {
  if (object == nullptr) return P<T>();
  T* target = dynamic_cast<T*>(object.get());
  object->checkCastAllowed(typeid(T), target != nullptr);
  return P<T>(target);
}

}  // namespace zel
