#pragma once

#include <typeinfo>

namespace zel {

// The root interface of every reference-counted object. Interfaces derive from it
// virtually, so that an object that implements several of them has one count.
class IBase {
 public:
  virtual ~IBase() = default;

  // Adds a counted reference. Safe from any thread.
  virtual void addRef() const noexcept = 0;

  // Drops a counted reference. The last reference to a heap object destroys it.
  // Safe from any thread.
  virtual void release() const noexcept = 0;

  // Throws zel::CError when this object may not be viewed as `target`: it is not one,
  // or it is being destroyed. Used by zel::castTo.
  virtual void checkCastAllowed(const std::type_info& target, bool isInstance) const = 0;
};

}  // namespace zel
