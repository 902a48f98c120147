#pragma once

#include <cstddef>
#include <string>

#include "keel/IDigest.h"
#include "zel/P.h"

namespace fleck::cli {

// The SHA-256 of a byte stream fed in pieces, as hexadecimal text: for comparing an
// image with what a disk gives back. One user at a time.
class CSha256 final {
 public:
  CSha256();

  void update(const void* data, std::size_t length) { digest->update(data, length); }
  // The digest of everything fed so far; the object starts over afterwards.
  std::string finishHex();

 private:
  zel::P<keel::IDigest> digest;
};

}  // namespace fleck::cli
