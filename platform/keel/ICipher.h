#pragma once

#include <cstddef>

#include "zel/IBase.h"
#include "zel/String.h"
#include "zel/TBuffer.h"
#include "zel/TCryptBuffer.h"

namespace keel {

// A cipher that turns data into a self-contained encrypted form and back. Each
// implementation fixes its output format (see its header).
//
// Encrypting n bytes gives at most n + getExpansionLength1() + getExpansionLength2()
// bytes. `outMode` is kAppend (add the output after out's contents) or kReplace
// (out's contents become the output); `options` must be 0, no options are defined.
// Bad arguments (key length, outMode, options, null data with a length) throw
// zel::CInvalidArgError; a failed decryption throws zel::CError. After a failure out
// holds what it held before (kAppend) or nothing (kReplace). The input may lie inside
// out's storage.
//
// Not thread-safe: each object has one user, and one thread at a time calls it.
class ICipher : public virtual zel::IBase {
 public:
  static constexpr int kReplace = 0;
  static constexpr int kAppend = 1;

  // The cipher's name as stored: "aes256cbc", "null".
  virtual zel::String getID() const = 0;
  // Bytes of a key (0: any key, also an empty one).
  virtual int getKeyLength() const = 0;
  // Bytes the output has in front of the encrypted data (the initialisation vector).
  virtual int getExpansionLength1() const = 0;
  // Most bytes the encrypted data may have beyond the input (the padding).
  virtual int getExpansionLength2() const = 0;

  virtual void encrypt(const zel::TCryptBuffer<unsigned char>& key, const unsigned char* data,
                       std::size_t length, zel::TBuffer<unsigned char>& out, int outMode,
                       int options) = 0;
  virtual void decrypt(const zel::TCryptBuffer<unsigned char>& key, const unsigned char* data,
                       std::size_t length, zel::TBuffer<unsigned char>& out, int outMode,
                       int options) = 0;
};

}  // namespace keel
