#pragma once

#include "fleck/CFleckDiskAuxFileBase.h"
#include "zel/CURI.h"
#include "zel/IFileSystem.h"
#include "zel/String.h"

namespace fleck {

// One link of a chain of disks: the folder of the parent or the child disk, kept in
// "parent.flecklnk" or "child.flecklnk" (two copies, MD5-checked) in the disk folder.
// The target is stored and returned as given; the disk layer decides whether it is
// relative to the folder that holds the link. A value type; not for concurrent use.
class CFleckDiskLink : public CFleckDiskAuxFileBase {
 public:
  CFleckDiskLink() = default;
  CFleckDiskLink(const CFleckDiskLink&) = default;
  CFleckDiskLink(CFleckDiskLink&&) noexcept = default;
  CFleckDiskLink& operator=(const CFleckDiskLink&) = default;
  CFleckDiskLink& operator=(CFleckDiskLink&&) noexcept = default;
  ~CFleckDiskLink() override = default;

  // The bytes every link payload starts with.
  static std::string_view getFileID();

  zel::CURI getTargetURI() const { return targetURI; }
  void setTargetURI(const zel::CURI& target) { targetURI = target; }

  // Writes both copies of the link file `name` in `folder`.
  void store(zel::IFileSystem* fs, const zel::CURI& folder, const zel::String& name) const;
  // Makes the link file `name` in `folder` lead to `target`, or removes it (both
  // copies) when `target` is empty.
  static void write(zel::IFileSystem* fs, const zel::CURI& folder, const zel::String& name,
                    const zel::CURI& target);

  // Reads the first intact copy. A missing file is the file system's NotFound error
  // (zel::CFileSystemError); a wrong magic is zel::CError. On failure the target stays
  // as it was.
  void load(zel::IFileSystem* fs, const zel::CURI& folder, const zel::String& name);

 private:
  zel::CURI targetURI;
};

}  // namespace fleck
