#pragma once

#include <vector>

#include "fleck/CFleckDataPreparer.h"
#include "fleck/ops/CVerifyWork.h"
#include "zel/CThread.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"
#include "zel/TBuffer.h"

namespace fleck::ops {

// One checking thread of a verify run: takes the fleck files a batch at a time (up to
// 16, at most 32 MiB), reads each whole and unprepares them together with a preparer of
// its own, which checks the record digests, decrypts, decompresses and checks the
// payload digests (the digests of a batch side by side). A file that fails is reported
// as damage with the preparer's or the file system's message.
class CVerifyWorker final : public zel::CThread {
 public:
  // fleckSize: the disk's; a file longer than any record of it, or a record that does
  // not hold a whole fleck, is damaged.
  CVerifyWorker(zel::P<zel::IFileSystem> fs, zel::P<CVerifyWork> work,
                zel::P<CFleckDataPreparer> preparer, std::int64_t fleckSize);

  void run() override;

 private:
  // Checks the records of `entries` as one batch, reporting the damage of each.
  void check(const std::vector<const CFleckTree::Entry*>& entries);

  const zel::P<zel::IFileSystem> fs;
  const zel::P<CVerifyWork> work;
  const zel::P<CFleckDataPreparer> preparer;
  const std::int64_t fleckSize;
  const std::int64_t maxRecordSize;
  std::vector<zel::TBuffer<unsigned char>> records;  // one per fleck of a batch
  std::vector<zel::TBuffer<unsigned char>> payloads;
};

}  // namespace fleck::ops
