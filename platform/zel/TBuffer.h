#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <type_traits>

#include "zel/CBase.h"
#include "zel/CError.h"

namespace zel {

// A growable array of trivially copyable elements with a capacity and a used length.
// Bytes past the used length are spare room: getFreePtr hands them out for direct
// writing, addUsed takes them into use. Growing keeps the used contents; bytes that
// setUsed newly takes into use are not initialised.
//
// Copies copy the used contents. Not thread-safe: one owner at a time; a buffer that
// is shared (a prepared record read by a file-system thread) is not changed meanwhile.
template <class T>
class TBuffer : public CBase {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  TBuffer() noexcept = default;
  explicit TBuffer(std::size_t capacity) { reserve(capacity); }
  TBuffer(const T* source, std::size_t count) { assign(source, count); }
  TBuffer(const TBuffer& other) : CBase(other) { assign(other); }
  TBuffer(TBuffer&& other) noexcept
      : data(std::exchange(other.data, nullptr)),
        capacity(std::exchange(other.capacity, 0)),
        used(std::exchange(other.used, 0)) {}
  TBuffer& operator=(const TBuffer& other) {
    assign(other);
    return *this;
  }
  TBuffer& operator=(TBuffer&& other) noexcept {
    if (this != &other) {
      releaseStorage();
      data = std::exchange(other.data, nullptr);
      capacity = std::exchange(other.capacity, 0);
      used = std::exchange(other.used, 0);
    }
    return *this;
  }
  ~TBuffer() override { releaseStorage(); }

  T* getData() noexcept { return data; }
  const T* getData() const noexcept { return data; }
  std::size_t getUsed() const noexcept { return used; }
  std::size_t getCapacity() const noexcept { return capacity; }
  bool isEmpty() const noexcept { return used == 0; }

  // Sets the used length, growing the capacity to exactly `count` when it is smaller.
  void setUsed(std::size_t count) {
    if (count > capacity) reallocate(count);
    if (count < used) discard(data + count, used - count);
    used = count;
  }

  // Takes `count` more elements of the spare room into use (after writing them through
  // getFreePtr). Throws zel::CError when that passes the capacity.
  void addUsed(std::size_t count) {
    if (count > capacity - used) {
      throw CError("INTERNAL ERROR: TBuffer::addUsed beyond the capacity");
    }
    used += count;
  }

  // Makes the capacity at least `count`; the contents stay.
  void reserve(std::size_t count) {
    if (count > capacity) reallocate(count);
  }

  // Pointer to the spare room after the used elements, grown (at least doubling) so
  // that it holds `minimumFree` elements.
  T* getFreePtr(std::size_t minimumFree) {
    if (minimumFree > capacity - used) reallocate(std::max(used + minimumFree, capacity * 2));
    return data + used;
  }

  // Replaces the contents with `count` elements from `source` (which may lie inside
  // this buffer).
  void assign(const T* source, std::size_t count) {
    if (count > capacity) {
      T* fresh = new T[count];
      if (count > 0) std::memcpy(fresh, source, count * sizeof(T));
      releaseStorage();
      data = fresh;
      capacity = count;
    } else {
      if (count > 0) std::memmove(data, source, count * sizeof(T));
      if (count < used) discard(data + count, used - count);
    }
    used = count;
  }
  void assign(const TBuffer& other) {
    if (&other != this) assign(other.data, other.used);
  }

  // Adds `count` elements at the end.
  void append(const T* source, std::size_t count) {
    if (count == 0) return;
    if (count > capacity - used) {
      // `source` may lie inside this buffer: fill the new storage before the old one
      // goes. No staging copy, which would leave an unwiped copy of a secret behind.
      const std::size_t newCapacity = std::max(used + count, capacity * 2);
      T* fresh = new T[newCapacity];
      if (used > 0) std::memcpy(fresh, data, used * sizeof(T));
      std::memcpy(fresh + used, source, count * sizeof(T));
      replaceStorage(fresh, newCapacity);
    } else {
      std::memmove(data + used, source, count * sizeof(T));
    }
    used += count;
  }

  void clear() { setUsed(0); }

  bool operator==(const TBuffer& other) const noexcept {
    return used == other.used &&
           (used == 0 || std::memcmp(data, other.data, used * sizeof(T)) == 0);
  }

 protected:
  // Called for elements that leave use (shrinking) and for storage about to be freed,
  // all of it: the spare room may hold bytes written through getFreePtr and never
  // taken into use. TCryptBuffer wipes them.
  virtual void discard(T* /*elements*/, std::size_t /*count*/) noexcept {}

  // Frees the storage. Derived destructors call it themselves so that their discard
  // still runs (virtual calls from ~TBuffer reach only TBuffer's own).
  void releaseStorage() noexcept {
    if (data != nullptr) {
      discard(data, capacity);
      delete[] data;
    }
    data = nullptr;
    capacity = 0;
    used = 0;
  }

 private:
  void reallocate(std::size_t newCapacity) {
    T* fresh = new T[newCapacity];
    if (used > 0) std::memcpy(fresh, data, used * sizeof(T));
    replaceStorage(fresh, newCapacity);
  }

  // Frees the old storage (through discard) and takes `fresh`, which already holds the
  // used elements.
  void replaceStorage(T* fresh, std::size_t newCapacity) noexcept {
    const std::size_t keep = used;
    releaseStorage();
    data = fresh;
    capacity = newCapacity;
    used = keep;
  }

  T* data = nullptr;
  std::size_t capacity = 0;
  std::size_t used = 0;
};

}  // namespace zel
