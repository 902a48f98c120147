#pragma once

#include <cstdint>
#include <vector>

#include "fleck/CFleckDiskHeader.h"
#include "fleck/ops/IPasswordSource.h"
#include "zel/CURI.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"
#include "zel/String.h"
#include "zel/TCryptBuffer.h"

namespace fleck::ops {

// What a copy of a disk, or of its whole chain, writes: the destination disks with the
// header and the links each gets, the fleck files to copy (each with the size of the
// file the destination holds there already, for the incremental check) and the
// destination's fleck files to delete. Making a plan reads the sources and the
// destination and refuses what must not be copied; it changes nothing.
//
// A value; one thread.
class CCopyPlan final {
 public:
  struct Options {
    // The whole chain, one subfolder of the destination per disk; else one standalone
    // disk that reads what the source reads.
    bool chain = false;
    // Encrypt every record again with a key derived from newPassword.
    bool reencrypt = false;
    zel::String newPassword;
  };

  struct Disk {
    zel::CURI source;  // for a single copy the disk named, whatever its parents hold
    zel::CURI destination;
    CFleckDiskHeader header;  // what the destination gets
    zel::CURI parentLink;     // relative to the destination; empty: none
    zel::CURI childLink;
  };

  struct File {
    zel::CURI source;
    std::int64_t sourceSize = -1;  // -1: learnt when read (object stores list no sizes)
    zel::CURI destination;
    // The destination has a file there that may be the same: not when it may have been
    // encrypted with a key that is not the copy's.
    bool destinationHeld = false;
    std::int64_t destinationSize = -1;  // its size, -1 when not known
    bool destinationExists = false;     // a file is there, trusted or not
  };

  // Reads the source (its chain) and the destination. Throws COperationError for a
  // source that is no disk, has missing parents or is unfinished, a destination that
  // is the source or lies inside it (or the other way round), a destination folder
  // that holds something other than an earlier copy, one that holds a disk with
  // another header (with reencrypt: one that the new password does not open), and
  // for a wrong source password (asked only when re-encrypting an encrypted source).
  static CCopyPlan make(zel::P<zel::IFileSystem> fs, const zel::CURI& source,
                        const zel::CURI& destination, const Options& options,
                        IPasswordSource& passwords);

  // True when the headers describe the same disk: every field, key material included.
  static bool sameHeader(const CFleckDiskHeader& a, const CFleckDiskHeader& b);

  std::vector<Disk> disks;  // in chain order, the live disk first
  std::vector<File> files;
  std::vector<zel::CURI> stale;  // destination fleck files the source does not have
  std::int64_t sourceBytes = 0;  // -1 when the sizes are not known

  // For re-encryption: a source header (the chain shares its key and compressor) with
  // its key (empty for an unencrypted source), and the destination's key.
  bool reencrypt = false;
  // A standalone copy (not a chain) drops records of all-zero flecks: no parent's data
  // lies under them.
  bool dropZeroRecords = false;
  CFleckDiskHeader sourceHeader;
  zel::TCryptBuffer<unsigned char> sourceKey;
  zel::TCryptBuffer<unsigned char> destinationKey;
};

}  // namespace fleck::ops
