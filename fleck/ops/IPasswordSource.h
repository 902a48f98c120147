#pragma once

#include <string>

#include "fleck/CFleckDiskHeader.h"
#include "zel/CURI.h"
#include "zel/String.h"

namespace fleck::ops {

// Where an operation gets the password of the disk it opens: a program hands in its
// own (one that asks on a terminal, say) or a CGivenPassword.
class IPasswordSource {
 public:
  virtual ~IPasswordSource() = default;

  // The password to open the disk in `folder` with `header`: empty for none. Throws a
  // zel error (a COperationError, as a rule) when there is none to be had.
  virtual zel::String forDisk(const CFleckDiskHeader& header, const zel::CURI& folder) = 0;
  // Where a password comes from, for messages ("--password-file F", "FLECK_PASSWORD").
  virtual std::string describeOrigin() const = 0;
};

}  // namespace fleck::ops
