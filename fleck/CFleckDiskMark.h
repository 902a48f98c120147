#pragma once

#include "fleck/CFleckDiskAuxFileBase.h"
#include "zel/CURI.h"
#include "zel/IFileSystem.h"
#include "zel/String.h"

namespace fleck {

// The mark of a disk that an operation is rebuilding or taking apart ("remove" of a
// snapshot, "copy" into a new place): while it lies in the disk folder the disk's flecks
// are not what the disk should read, so the disk refuses to open (CFleckDiskError
// Unfinished). The operation sets it before its first change and clears it after its
// last; one interrupted part-way is run again and finishes. Kept in
// "unfinished.fleckmark" (two copies, as every metadata file); the disk is marked while
// either copy exists. A value type; not for concurrent use.
class CFleckDiskMark : public CFleckDiskAuxFileBase {
 public:
  CFleckDiskMark() = default;
  CFleckDiskMark(const zel::String& operation, const zel::String& detail)
      : operation(operation), detail(detail) {}

  static zel::String getFileName() { return "unfinished.fleckmark"; }
  // The bytes every mark payload starts with.
  static std::string_view getFileID();

  // What marked the disk: "remove" or "copy".
  const zel::String& getOperation() const noexcept { return operation; }
  // Words for people: what the operation was doing (its source, say).
  const zel::String& getDetail() const noexcept { return detail; }

  // True when either copy of the mark exists in `folder`.
  static bool isPresent(zel::IFileSystem* fs, const zel::CURI& folder);
  // Writes both copies (copy 0 first: the disk is marked from then on).
  void store(zel::IFileSystem* fs, const zel::CURI& folder) const;
  // Reads the first intact copy; a missing mark is the file system's NotFound error,
  // a damaged one zel::CError.
  void load(zel::IFileSystem* fs, const zel::CURI& folder);
  // Removes both copies, the fallback copy last: the disk stays marked until it is gone.
  static void clear(zel::IFileSystem* fs, const zel::CURI& folder);

 private:
  zel::String operation;
  zel::String detail;
};

}  // namespace fleck
