#pragma once

#include <algorithm>

#include <cstdint>
#include <vector>

#include "fleck/CFleckDataPreparer.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/ops/CFleckTree.h"
#include "fleck/ops/CImportQueue.h"
#include "fleck/ops/IImageSource.h"
#include "keel/IDigest.h"
#include "zel/CMemPool.h"
#include "zel/CThread.h"
#include "zel/CURI.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"
#include "zel/TBuffer.h"

namespace fleck::ops {

// One preparing thread of an import: takes flecks from the queue (reading their bytes
// from the image itself when the job has none), decides what the
// disk needs for each (nothing, a record, the zero record, the removal of its file)
// and prepares the record with a preparer of its own.
//
// The decision looks at the chain only as far as needed: the first folder (the disk,
// then its parents, nearest first) that has the fleck's file is what the disk reads
// there. An all-zero fleck needs nothing when no folder has the file, the removal of
// the disk's file when only the disk has one, and else a stored record of zeros
// (removing it would let a parent's data show through). With `incremental`, a fleck
// whose payload digest equals the digest in the head of that first file (read
// without decrypting) needs nothing either.
//
// The setup is shared read-only by every worker and outlives them.
class CImportWorker final : public zel::CThread {
 public:
  struct Setup {
    zel::P<zel::IFileSystem> fs;
    CFleckDiskHeader header;
    // The disk first, then its parents, nearest first.
    std::vector<zel::CURI> chain;
    bool incremental = false;
    std::int64_t fleckSize = 0;
    // The image, when the workers read whole flecks of it themselves (readAt).
    IImageSource* source = nullptr;
    zel::P<zel::CMemPool> payloadPool;
    zel::P<zel::CMemPool> recordPool;
    zel::TBuffer<unsigned char> zeroDigest;  // payload digest of an all-zero fleck
    std::size_t batch = 1;                   // flecks a worker takes at once (batchFor)
  };

  // Flecks a worker takes from the queue at once: their payload digests, encryption
  // and record digests run side by side (one vector lane each; see CFleckDataPreparer).
  // Up to 16, as many as fit in 32 MiB.
  static std::size_t batchFor(std::int64_t fleckSize) {
    return static_cast<std::size_t>(std::clamp<std::int64_t>(
        (std::int64_t{32} << 20) / std::max<std::int64_t>(fleckSize, 1), 1, 16));
  }

  CImportWorker(const Setup& setup, zel::P<CImportQueue> queue,
                zel::P<CFleckDataPreparer> preparer);

  void run() override;

 private:
  // Where the chain has fleck `index`: the first folder with its file and the payload
  // digest in that file's head, and the first parent with it.
  struct Holder {
    int first = -1;        // index into setup.chain, -1: nowhere
    int firstParent = -1;  // index >= 1 into setup.chain, -1: no parent has it
    bool digestKnown = false;
    zel::TBuffer<unsigned char> digest;
  };

  // Reads a whole fleck of the image into a pooled buffer as the job's payload.
  void readPayload(CImportQueue::Job& job);
  // Decides for each job and prepares the records that are needed, as one batch.
  void handle(std::vector<CImportQueue::Job>& jobs, std::vector<CImportQueue::Result>& results);
  // What the disk needs for one fleck, given its payload digest (null for an all-zero
  // one); true when that is a record of the payload.
  bool decide(const CImportQueue::Job& job, const unsigned char* payloadDigest,
              CImportQueue::Result& result);
  Holder locate(std::int64_t index, bool wantDigest, bool wantParent);

  const Setup& setup;
  const zel::P<CImportQueue> queue;
  const zel::P<CFleckDataPreparer> preparer;
  CFleckTree tree;
};

}  // namespace fleck::ops
