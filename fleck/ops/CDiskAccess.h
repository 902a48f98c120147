#pragma once

#include <string>
#include <vector>

#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskError.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/ops/COperationError.h"
#include "fleck/ops/IPasswordSource.h"
#include "zel/CURI.h"
#include "zel/IFileSystem.h"
#include "zel/IIOStream.h"
#include "zel/P.h"

namespace fleck::ops {

// Loads headers and opens disks safely, turning the core's failures into a
// COperationError that names the disk and says what is wrong (not a fleck disk, a newer
// version required, a damaged header with its files, a wrong password). Also walks a
// chain through its link files without opening the disks (no password needed).
//
// Keeps only the file system; any thread.
class CDiskAccess final {
 public:
  explicit CDiskAccess(zel::P<zel::IFileSystem> fs);

  // A folder as a program's user names it: "s3://bucket/prefix" as written, anything
  // else a local path (relative to the working folder).
  static zel::CURI folderOf(const std::string& path);
  // A folder as people read it.
  static std::string show(const zel::CURI& folder);

  // The header of the disk in `folder`. Throws COperationError for a missing
  // folder, a folder without a disk, a disk that needs a newer reader and a header
  // whose copies are both damaged (naming both files).
  CFleckDiskHeader loadHeader(const zel::CURI& folder) const;

  // Opens the disk, with the password from `passwords` when it needs one. Throws
  // COperationError as loadHeader and checkParents, and for a wrong password, a password
  // given to an unencrypted disk, a disk that needs a newer writer or whose child links
  // run in a circle (when writing) and any other failure to open (damaged link files).
  zel::P<CFleckDisk> open(const zel::CURI& folder, IPasswordSource& passwords,
                          zel::IIOStream::Access access, int maxBackgroundOps) const;

  // The failure for a disk that another writer has open, with what is known of the
  // writer.
  static COperationError inUse(const CFleckDiskError& e);
  // The failure for a disk that an interrupted remove or copy left unfinished.
  static COperationError unfinished(const zel::CURI& folder, const CFleckDiskError& e);

  // The parent folders, nearest first, from the parent link files.
  std::vector<zel::CURI> parentsOf(const zel::CURI& folder) const;
  // Throws COperationError unless every parent of the disk in `folder` is there and
  // holds a disk: the core reads the flecks of a missing parent as zeros, which
  // would give wrong data without a word. Also throws parentsOf's errors (damaged link
  // files, links that run in a circle).
  void checkParents(const zel::CURI& folder) const;
  // The child folders, nearest first, from the child link files (existing ones only).
  std::vector<zel::CURI> childrenOf(const zel::CURI& folder) const;

 private:
  // The folder the link file `name` in `folder` leads to, or an empty location.
  zel::CURI linkTarget(const zel::CURI& folder, const zel::String& name) const;

  zel::P<zel::IFileSystem> fs;
};

}  // namespace fleck::ops
