#pragma once

#include <cstdint>

#include "zel/CBase.h"
#include "zel/CURI.h"
#include "zel/TArray.h"

namespace fleck {

// One fleck of a disk in memory. So far: where a fleck's file lives.
//
// Every fleck is one file whose path below a disk folder follows from its index and
// the tree geometry alone (P entries per level, L levels), so one index names the same
// fleck in a disk, its child and its parents: "flecks", then L - 1 folders from the
// highest level down, then the file. Each level's digit (the index in base P, least
// significant digit at level 0) is written in lower-case hexadecimal, zero-padded to
// the width of P itself; folders of level i >= 1 are prefixed with the letter 'a' + i -
// 1, the file gets ".fleck". With P = 97, L = 5: flecks/dXX/cXX/bXX/aXX/XX.fleck.
class CFleck : public zel::CBase {
 public:
  // The number of hexadecimal digits needed to write objectsPerTreeLevel (at least 1).
  static int computeDigitWidth(int objectsPerTreeLevel);

  // The path of fleck `index` relative to a disk folder. `levelDigits` is scratch space
  // of the caller (resized to treeLevels), so that repeated calls allocate no array.
  // Throws zel::CInvalidArgError for a negative index.
  static zel::CURI formRelativeFleckURI(std::int64_t index, int objectsPerTreeLevel,
                                        int treeLevels, int digitWidth,
                                        zel::TArray<int>& levelDigits);
};

}  // namespace fleck
