#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "zel/CBase.h"
#include "zel/CURI.h"
#include "zel/IFileSystem.h"
#include "zel/P.h"
#include "zel/String.h"
#include "zel/TBuffer.h"

namespace fleck {

// The container of a disk's small metadata files (the header, the link files). Each
// file is its payload followed by the payload's raw MD5 digest, and is written twice:
// once in the disk folder and once in its subfolder "fallback". Reading takes the
// first intact copy. The payload's meaning belongs to the derived classes.
//
// The operations are static and keep no state; they take no lock, so two writers of
// one file at the same time are not guarded against.
class CFleckDiskAuxFileBase : public zel::CBase {
 public:
  // Valid total file length: more than the digest and at most this many bytes.
  static constexpr std::int64_t kMaxFileLength = 0x100000;

  CFleckDiskAuxFileBase() = default;
  CFleckDiskAuxFileBase(const CFleckDiskAuxFileBase&) = default;
  CFleckDiskAuxFileBase(CFleckDiskAuxFileBase&&) noexcept = default;
  CFleckDiskAuxFileBase& operator=(const CFleckDiskAuxFileBase&) = default;
  CFleckDiskAuxFileBase& operator=(CFleckDiskAuxFileBase&&) noexcept = default;
  ~CFleckDiskAuxFileBase() override = default;

  // Copy 0 is folder/name; any other index is folder/"fallback"/name.
  static zel::CURI getAuxFileURI(const zel::CURI& folder, const zel::String& name, int copyIndex);

  // Writes both copies of `name` in `folder`: copy 0 first, then the "fallback" folder
  // is created if needed and copy 1 written. The first failure ends the call with the
  // file system's error; nothing is rolled back (a failed copy 1 leaves copy 0 as
  // written). A payload that could never be loaded again (empty, or longer than
  // kMaxFileLength minus the digest) is refused with zel::CInvalidArgError before
  // anything is written.
  static void storeAuxFile(zel::IFileSystem* fs, const zel::CURI& folder, const zel::String& name,
                           const zel::TBuffer<unsigned char>& data);

  // Removes both copies of `name` in `folder`, copy 0 first (a reader takes copy 1
  // until both are gone); missing copies are fine.
  static void removeAuxFile(zel::IFileSystem* fs, const zel::CURI& folder, const zel::String& name);

  // The payload of the first intact copy. When neither is intact, the error of copy 0
  // is thrown with its class kept (a missing file stays a zel::CFileSystemError with
  // problem NotFound) and the property "uri" naming copy 0. A damaged copy is not
  // repaired here.
  static zel::P<zel::TBuffer<unsigned char>> loadAuxFile(zel::IFileSystem* fs,
                                                         const zel::CURI& folder,
                                                         const zel::String& name);

  // What one copy of an auxiliary file is like, for checking and repairing copies one
  // by one (loading takes the first intact copy and says nothing of the other).
  struct CopyState {
    enum State { Missing, Damaged, Intact };
    zel::CURI file;
    State state = Missing;
    std::string problem;  // why it is damaged: "bad size N", "digest mismatch", ...
    // The whole file as stored (payload and digest), when it could be read: an intact
    // copy can be written over a damaged one as it is.
    zel::TBuffer<unsigned char> content;
    std::size_t payloadLength = 0;  // of an intact copy
  };

  // Reads copy `copyIndex` of `name` in `folder` and checks its size, digest and that
  // the payload starts with `fileID`. Errors of the file system other than a missing
  // file pass through.
  static CopyState inspectAuxFileCopy(zel::IFileSystem* fs, const zel::CURI& folder,
                                      const zel::String& name, int copyIndex,
                                      std::string_view fileID);
};

}  // namespace fleck
