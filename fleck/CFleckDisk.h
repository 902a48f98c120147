#pragma once

#include <cstdint>

#include "fleck/CFleckDiskHeader.h"
#include "zel/CBase.h"
#include "zel/CIOError.h"
#include "zel/CProps.h"
#include "zel/CURI.h"
#include "zel/IFileSystem.h"
#include "zel/String.h"
#include "zel/TCryptBuffer.h"

namespace fleck {

// A fleck disk: a virtual disk of fixed size kept as a folder of fleck files.
//
// The static operations create disks and chains of disks and check passwords and
// keys; they keep no state and may run on any thread.
class CFleckDisk : public zel::CBase {
 public:
  enum ChildType : int {
    // The new child becomes the parent's immediate child (it receives the parent's
    // replaced flecks from then on); all links are stored relative to their folder.
    ChildLinked = 0,
    // The child only names its parent, exactly as given; no other disk is touched.
    ChildDetached = 1,
  };

  // The version of the disk format this implementation reads and writes.
  static int getImplementationVersion() { return 1; }
  static zel::String getChildLinkFileName() { return "child.flecklnk"; }
  static zel::String getParentLinkFileName() { return "parent.flecklnk"; }

  // Makes a new, empty disk in `folder` (created with any missing parents): a folder
  // holding only its
  // header. An empty password makes an unencrypted disk. A fleckSize of -1 keeps the
  // default (524,288). Throws zel::CError when the folder holds a disk already, and
  // zel::CInvalidArgError for a fleck size of 0 or less or a negative disk size.
  static void create(zel::IFileSystem* fs, const zel::CURI& folder, std::int64_t diskSize,
                     int payloadBlockSize, const zel::String& password,
                     const zel::String& compressID, int fleckSize);

  // Makes a child disk of the disk in parentFolder: the child gets a copy of the
  // parent's header (so it opens with the same password) and link files that tie it
  // into the chain. Not a transaction: a failure part-way leaves what was written.
  static void createChild(zel::IFileSystem* fs, const zel::CURI& childFolder,
                          const zel::CURI& parentFolder, ChildType childType);

  // Turns a password into the cipher key that the header describes. The password's
  // UTF-8 bytes up to the first zero byte are derived from. Throws
  // zel::CInvalidArgError for an unknown deriver, a salt under 8 bytes or fewer than
  // 1,000 iterations (the key has been resized to the cipher's key length by then).
  static void deriveCipherKey(zel::TCryptBuffer<unsigned char>& key, const zel::String& password,
                              const CFleckDiskHeader& header);

  // True when `key` is the disk's key (always for an unencrypted disk).
  static bool isCipherKeyCorrect(const CFleckDiskHeader& header,
                                 const zel::TCryptBuffer<unsigned char>& key);
  static bool isCipherKeyCorrect(zel::IFileSystem* fs, const zel::CURI& diskFolder,
                                 const zel::TCryptBuffer<unsigned char>& key);

  // True when `password` opens the disk (only the empty one for an unencrypted disk);
  // then keyOut, when given, receives the key (empty for an unencrypted disk). keyOut
  // is not touched for a wrong password.
  static bool isEncryptPasswordCorrect(const CFleckDiskHeader& header, const zel::String& password,
                                       zel::TCryptBuffer<unsigned char>* keyOut);
  static bool isEncryptPasswordCorrect(zel::IFileSystem* fs, const zel::CURI& diskFolder,
                                       const zel::String& password,
                                       zel::TCryptBuffer<unsigned char>* keyOut);

 protected:
  // The target of the link file `name` in `folder`, or an empty location when there is
  // no such file. A damaged link file is an error.
  static zel::CURI loadLink(zel::IFileSystem* fs, const zel::CURI& folder, const zel::String& name);
  static void storeLink(zel::IFileSystem* fs, const zel::CURI& folder, const zel::String& name,
                        const zel::CURI& target);

  // Throws zel::CIOError(code) with an empty message and `props` followed by "uri" =
  // the disk folder.
  [[noreturn]] void throwIOError(zel::CIOError::Code code, const zel::CProps& props) const;

 private:
  zel::CURI diskFolder;
};

}  // namespace fleck
