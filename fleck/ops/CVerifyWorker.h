#pragma once

#include "fleck/CFleckDataPreparer.h"
#include "fleck/ops/CVerifyWork.h"
#include "zel/CThread.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"
#include "zel/TBuffer.h"

namespace fleck::ops {

// One checking thread of a verify run: reads each fleck file it is handed whole and
// unprepares it with a preparer of its own, which checks the record digest, decrypts,
// decompresses and checks the payload digest. A file that fails is reported as damage
// with the preparer's or the file system's message.
class CVerifyWorker final : public zel::CThread {
 public:
  // fleckSize: the disk's; a file longer than any record of it, or a record that does
  // not hold a whole fleck, is damaged.
  CVerifyWorker(zel::P<zel::IFileSystem> fs, zel::P<CVerifyWork> work,
                zel::P<CFleckDataPreparer> preparer, std::int64_t fleckSize);

  void run() override;

 private:
  void check(const CFleckTree::Entry& entry);

  const zel::P<zel::IFileSystem> fs;
  const zel::P<CVerifyWork> work;
  const zel::P<CFleckDataPreparer> preparer;
  const std::int64_t fleckSize;
  const std::int64_t maxRecordSize;
  zel::TBuffer<unsigned char> record;
  zel::TBuffer<unsigned char> payload;
};

}  // namespace fleck::ops
