#pragma once

#include <cstdint>
#include <vector>

#include "fleck/CFleckDataPreparer.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/ops/CCopyWork.h"
#include "keel/IDigest.h"
#include "zel/CThread.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"
#include "zel/TBuffer.h"

namespace fleck::ops {

// One thread of a copy. In the copy phase it takes each fleck file in turn: a file the
// destination holds already with the same record digest (the last D bytes; when
// re-encrypting, the payload digest in the head) is skipped after reading just those
// bytes on both sides; any other is read whole, its record digest checked, encrypted
// again when asked, stored (replacing what is there) and read back: the record digest
// must match the bytes and equal the source's (when re-encrypting, the payload digest
// must). In the delete phase it deletes stale files. Failures are collected in the
// work as sentences that name the file.
//
// Holds at most two records of the disk's largest size.
class CCopyWorker final : public zel::CThread {
 public:
  enum class Phase { Copy, Delete };

  // `header`: the source's (fleck size and digest). `from` and `to` re-encrypt (with
  // the source's and the destination's key); both null for a copy as it is. With
  // dropZeroRecords, a record of an all-zero fleck (told by its payload digest) is not
  // stored, and the destination's file there is deleted.
  CCopyWorker(zel::P<zel::IFileSystem> fs, zel::P<CCopyWork> work, Phase phase,
              const CFleckDiskHeader& header, zel::P<CFleckDataPreparer> from,
              zel::P<CFleckDataPreparer> to, bool dropZeroRecords);

  void run() override;

  // Reads the digest that tells a record apart into `into`: the record digest (its last
  // digestLength bytes) or, with `head`, the payload digest in its head. Returns the
  // file's length, or -1 when it is too short to hold one. A seek: on an object store
  // the stream reads just that range.
  static std::int64_t readDigest(zel::IFileSystem& fs, const zel::CURI& file, int digestLength,
                                 bool head, unsigned char* into);

 private:
  // Each returns the source file's size, or -1 when the file was not handled.
  std::int64_t copy(const CCopyPlan::File& file);
  // When the destination's file has the source's digest.
  std::int64_t unchanged(const CCopyPlan::File& file);
  void readWhole(const zel::CURI& file, zel::TBuffer<unsigned char>& into);
  // Stores the record, making missing folders of the tree.
  void store(const zel::CURI& file, const zel::TBuffer<unsigned char>& bytes);
  void makeFolders(const zel::CURI& folder);
  bool digestMatches(const zel::TBuffer<unsigned char>& bytes);

  // Set in the constructor; everything below is used by the worker's own thread only,
  // the work shared through its own locks.
  const zel::P<zel::IFileSystem> fs;
  const zel::P<CCopyWork> work;
  const Phase phase;
  const zel::P<CFleckDataPreparer> from;
  const zel::P<CFleckDataPreparer> to;
  const std::int64_t maxRecordSize;
  zel::P<keel::IDigest> digest;
  int digestLength = 0;
  std::vector<unsigned char> zeroDigest;  // the payload digest of an all-zero fleck, or empty
  zel::TBuffer<unsigned char> record;
  zel::TBuffer<unsigned char> written;  // the re-encrypted record, then what was read back
};

}  // namespace fleck::ops
