#pragma once

#include <cstdint>
#include <vector>

#include "fleck/CFleckDiskHeader.h"
#include "zel/CURI.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"
#include "zel/TArray.h"

namespace fleck::ops {

// The fleck files of a disk folder: where fleck k's file lives (CFleck's tree rule:
// "flecks", one folder per level from the highest down, the file; each level's digit
// of k in base P, in hexadecimal) and the way back from a file to its index, for
// walking what a disk has stored.
//
// Not for concurrent use (the path scratch space is shared); cheap to make one per
// thread.
class CFleckTree final {
 public:
  struct Entry {
    std::int64_t index;
    zel::CURI file;
    std::int64_t size;  // -1 when sizes are not asked for
  };

  CFleckTree(zel::P<zel::IFileSystem> fs, const CFleckDiskHeader& header);

  // Whether list finds out each file's size (default) or leaves it at -1: on object
  // storage every size is a request of its own.
  void setWithSizes(bool value) noexcept { withSizes = value; }

  // The file of fleck `index` below `diskFolder`.
  zel::CURI fileOf(const zel::CURI& diskFolder, std::int64_t index);

  // Every fleck file below diskFolder/flecks, ordered by index, with its size. Entries
  // that do not follow the tree rule are added to `strays` (when given) and left out.
  // Entries named as the tree needs but of the wrong kind (a folder named as a fleck
  // file, a file named as a tree folder, a file "flecks") are added to `blocked` when
  // given (else to `strays`): they hide flecks and make stores there fail.
  std::vector<Entry> list(const zel::CURI& diskFolder, std::vector<zel::CURI>* strays,
                          std::vector<zel::CURI>* blocked = nullptr);

 private:
  // The digit of a tree entry's name ("a1b" at level 1, "1b.fleck" at level 0), or -1.
  int parseName(const zel::String& name, int level) const;
  void walk(const zel::CURI& folder, int level, std::int64_t prefix, std::vector<Entry>& out,
            std::vector<zel::CURI>* strays, std::vector<zel::CURI>* blocked);

  zel::P<zel::IFileSystem> fs;
  int objectsPerLevel;
  int levels;
  int digitWidth;
  bool withSizes = true;
  zel::TArray<int> digits;
};

}  // namespace fleck::ops
