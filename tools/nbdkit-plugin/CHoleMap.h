#pragma once

#include <cstdint>
#include <vector>

#include "fleck/CFleckDisk.h"
#include "fleck/ops/CFleckTree.h"
#include "zel/CURI.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"

namespace fleck::nbd {

// Which flecks of an open disk read as zeros without being read: those whose file is in
// no folder of the chain (the disk, then its parents). Only what is stored counts: the
// owner must not ask while changes are pending in the disk's fleck object or its
// storers (CNbdExport reports everything as data then).
//
// A fleck counts as data when anything at all lies at its file's path, not only a
// regular file: reading it fails then, and a client must see that failure rather than
// skip the fleck as zeros. A zero record a child keeps over a parent's data is a file,
// so such a fleck counts as data too (it reads as zeros, which a client then reads).
//
// Failures are the file system's zel::CError (a folder that cannot be searched).
//
// Threads: one caller at a time (CFleckTree's scratch space); no lock.
class CHoleMap final {
 public:
  struct Extent {
    std::int64_t offset;
    std::int64_t length;
    bool zero;  // no file anywhere in the chain
  };

  // The map of the open `disk`: its folders, geometry and size are copied, so the disk
  // need not outlive the map.
  CHoleMap(zel::P<zel::IFileSystem> fs, const CFleckDisk& disk);
  CHoleMap(const CHoleMap&) = delete;
  CHoleMap& operator=(const CHoleMap&) = delete;

  // The extents from `offset` on, adjacent flecks of one kind merged, up to
  // offset + count or the disk's end, whichever is first, or sooner: after `firstOnly`
  // one extent, and after kMaxFlecks flecks looked at (a client asks again from where
  // the answer ends). Empty when offset is at or past the end.
  std::vector<Extent> map(std::int64_t offset, std::int64_t count, bool firstOnly);

  // Flecks looked at in one call at most: bounds the file system lookups per request.
  static constexpr std::int64_t kMaxFlecks = 8192;

 private:
  bool isStored(std::int64_t index);

  zel::P<zel::IFileSystem> fs;
  ops::CFleckTree tree;
  std::vector<zel::CURI> folders;  // the disk's, then its parents', nearest first
  std::int64_t fleckSize;
  std::int64_t size;
};

}  // namespace fleck::nbd
