#pragma once

#include <cstdint>

#include "fleck/ops/CCopyPlan.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"

namespace fleck::ops {

// Before a chain is copied over an earlier copy of it: moves destination fleck files
// from one disk to another where one disk's old file is what another needs now. A
// snapshot taken since the last copy holds the live disk's old flecks, and the earlier
// copy of the live disk holds exactly those records; moving them within the
// destination's store sends no bytes, where copying them would send them all again.
//
// Only files at the same fleck index move (one index names the same fleck throughout a
// chain), only where the receiving disk lacks the record and the giving disk's file is
// to be replaced or deleted anyway. A record is told by its record digest (its last
// bytes). The plan is updated: a receiver is then held by the destination (the copy
// finds it unchanged, as any other), a giver no longer (the copy writes it anew).
//
// Runs while the destination disks are marked unfinished: a move cut short leaves a
// copy that running it again finishes. One thread calls run; it uses `threads`.
class CCopyReuse final {
 public:
  // Returns the files moved. Failures to read or move are not errors: the copy then
  // writes those files as it would have.
  static std::int64_t run(zel::P<zel::IFileSystem> fs, CCopyPlan& plan, int threads);
};

}  // namespace fleck::ops
