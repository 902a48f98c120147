#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fleck/ops/CDiskAccess.h"
#include "fleck/ops/CMetadataChecker.h"
#include "fleck/ops/CVerifyWork.h"
#include "fleck/ops/IPasswordSource.h"
#include "fleck/ops/IProgress.h"
#include "zel/CURI.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"

namespace fleck::ops {

// Checks one disk: both copies of each metadata file (optionally rewriting a damaged
// copy from the intact one), then every fleck file below its folder on `threads`
// threads (CVerifyWorker). The flecks are checked only when a copy of the header is
// intact; an encrypted disk needs its password for them.
//
// One thread uses a verifier.
class CVerifier final {
 public:
  struct Report {
    std::vector<CMetadataChecker::File> metadata;  // as found, before any repair
    int repairedCopies = 0;
    bool headerUnusable = false;  // no intact header copy: flecks not checked
    // Why the child link may not be followed (it leads to a disk that is not this
    // disk's child): writers refuse such a disk. Empty when the link is fine or absent.
    std::string childLinkProblem;
    std::vector<CVerifyWork::Damage> damagedFlecks;
    std::vector<zel::CURI> strays;   // entries below flecks/ that are no fleck files
    std::vector<zel::CURI> blocked;  // tree entries of the wrong kind (damage)
    std::int64_t fleckFiles = 0;
    std::int64_t fleckBytes = 0;

    bool foundDamage() const;
  };

  CVerifier(zel::P<zel::IFileSystem> fs, int threads);

  // Throws COperationError when the disk cannot be checked at all: no fleck disk
  // there, a wrong password. `progress` hears of the fleck files read.
  Report run(const zel::CURI& folder, IPasswordSource& passwords, bool repairMetadata,
             IProgress& progress);

 private:
  zel::P<zel::IFileSystem> fs;
  int threads;
};

}  // namespace fleck::ops
