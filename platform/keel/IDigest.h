#pragma once

#include <cstddef>

#include "zel/IBase.h"

namespace keel {

// A message digest being computed. Feed the message with update, call finish, then
// read the result with getResult.
//
// Calls may come in any order: update after finish starts a new message (as if reset
// had been called first); finish on a finished digest keeps its result; reset may come
// at any time and starts over. getResult throws zel::CError unless finish was the last
// of these calls. After an update or finish that threw, the object takes nothing but
// reset.
//
// Not thread-safe: each object has one user, and one thread at a time calls it.
class IDigest : public virtual zel::IBase {
 public:
  // Bytes of the result (16 for md5, 32 for sha256).
  virtual int getLength() const = 0;
  // Adds `length` bytes at `data` to the message; data may be null when length is 0.
  virtual void update(const void* data, std::size_t length) = 0;
  // Computes the result of the message fed so far.
  virtual void finish() = 0;
  // Starts a new, empty message on the same object.
  virtual void reset() = 0;
  // getLength() bytes, owned by this object; valid until the next reset or update.
  virtual const unsigned char* getResult() const = 0;
};

}  // namespace keel
