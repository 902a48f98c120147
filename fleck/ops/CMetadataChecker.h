#pragma once

#include <string>
#include <vector>

#include "fleck/CFleckDiskAuxFileBase.h"
#include "zel/CURI.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"
#include "zel/String.h"
#include "zel/TBuffer.h"

namespace fleck::ops {

// Checks the two copies of a disk's metadata files (disk.fleckdisk, parent.flecklnk,
// child.flecklnk) one by one, which the core's loader does not report (it takes the
// first intact copy), and rewrites a damaged copy from the intact one.
//
// Keeps no state between calls; any thread, one call at a time per file.
class CMetadataChecker final {
 public:
  using Copy = CFleckDiskAuxFileBase::CopyState;
  using State = Copy::State;

  struct File {
    zel::String name;
    Copy copies[2];

    // Neither copy exists: the disk has no such file (fine for the link files).
    bool isAbsent() const {
      return copies[0].state == State::Missing && copies[1].state == State::Missing;
    }
    // A copy is damaged or one of the two is missing.
    bool isDamaged() const { return !isAbsent() && !isIntact(); }
    bool isIntact() const {
      return copies[0].state == State::Intact && copies[1].state == State::Intact;
    }
    // The copy to repair from (-1: none is intact).
    int intactCopy() const;
  };

  explicit CMetadataChecker(zel::P<zel::IFileSystem> fs);

  // Both copies of `name` in `folder`. Two intact copies that differ count the
  // fallback copy (1) as damaged, since readers take copy 0.
  File check(const zel::CURI& folder, const zel::String& name) const;
  // The header and both link files.
  std::vector<File> checkAll(const zel::CURI& folder) const;

  // Rewrites every copy of `file` that is not intact from an intact one, atomically
  // (a new file renamed over the old). Returns how many copies were rewritten; 0 when
  // no copy is intact. File-system errors pass through.
  int repair(const File& file) const;

  // One line about a copy: "damaged (digest mismatch)", "missing", "intact".
  static std::string describe(const Copy& copy);

 private:
  zel::P<zel::IFileSystem> fs;
};

}  // namespace fleck::ops
