#pragma once

#include <cstdint>

#include "fleck/CFleck.h"
#include "fleck/CFleckDataPreparer.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/CFleckDiskLock.h"
#include "fleck/CFleckStorer.h"
#include "keel/ICipher.h"
#include "keel/IDigestType.h"
#include "zel/CBase.h"
#include "zel/CIOError.h"
#include "zel/CProps.h"
#include "zel/CURI.h"
#include "zel/IFileSystem.h"
#include "zel/IIOStream.h"
#include "zel/String.h"
#include "zel/TCryptBuffer.h"
#include "zel/TList.h"

namespace fleck {

// A fleck disk: a virtual disk of fixed size kept as a folder of fleck files.
//
// An object is an open disk: its header, its key, its chain (the child folder and the
// parent folders, nearest first), one byte position and one fleck object through which
// all byte I/O runs. Reads fall through to the parents for flecks the disk lacks;
// changed flecks are saved in the background (the destructor and flushChanges wait for
// them). A disk is held through zel::P or owned directly (on the stack); streams over
// it take counted references, which must be dropped before a directly owned disk ends.
//
// Threads: an open disk serves one caller at a time and takes no lock; copies share the
// fleck object and so must not be used at the same time either. Its background saves
// run on the file system's completion threads.
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

  // How a disk is opened beyond the password and the access.
  struct OpenOptions {
    // A parent folder that is gone, or holds no disk, ends the chain and its flecks
    // read as zeros, instead of failing to open. Only for recovering what is left.
    bool allowMissingParents = false;
  };

  // The largest number of key-derivation iterations a header may ask for: a forged
  // header must not keep an opening busy for hours.
  static constexpr std::int64_t kMaxKeyDerivationIterations = 10'000'000;

  // The largest fleck size a disk may have: records of a fleck are read into buffers of
  // about 1.1 times its size, and sizes are 32-bit in the header.
  static constexpr int kMaxFleckSize = 1 << 30;

  // Opens the disk in `diskFolder`. `access` is zel::IIOStream::AccessReadWrite (3) to
  // write, anything else to read only. An empty password opens an unencrypted disk.
  // maxBackgroundOps (at least 1) bounds the flecks being saved at once.
  // Throws CFleckDiskError NewerVersionRequired (the reader version, or the writer
  // version when opened for writing, is above getImplementationVersion()) or
  // EncryptPasswordIncorrect; zel::CError "Parent link loop detected in fleck disk."
  // when the parent links run in a circle, or for a header whose sizes cannot be
  // mapped; and the loaders' and file system's errors.
  //
  // Opening for writing takes the disk's writer lock (CFleckDiskLock) until the last
  // copy of the object ends: a second writer, in this process or another, fails with
  // CFleckDiskError InUseByAnotherWriter. Readers take no lock. A writer also checks
  // that the child link leads to a disk whose parent link leads back here (zel::CError
  // naming the link file otherwise), since replaced flecks are moved there. A parent
  // folder that is gone or holds no disk fails the opening (zel::CError "Parent disk of
  // fleck disk is missing.") unless the options allow it.
  CFleckDisk(zel::IFileSystem* fs, const zel::CURI& diskFolder, const zel::String& password,
             zel::IIOStream::Access access, int maxBackgroundOps);
  CFleckDisk(zel::IFileSystem* fs, const zel::CURI& diskFolder, const zel::String& password,
             zel::IIOStream::Access access, int maxBackgroundOps, const OpenOptions& options);
  CFleckDisk(const CFleckDisk&) = default;
  CFleckDisk& operator=(const CFleckDisk&) = default;
  // Saves the changed fleck and waits, without limit, until every background save has
  // ended. Errors are logged, never thrown.
  ~CFleckDisk() override;

  // Saves the changed fleck and waits until every background save has ended. A failing
  // preparation of the changed fleck is thrown; failed saves are logged and collected
  // (haveBackgroundErrors), not thrown.
  void flushChanges();
  // True when fewer than maxBackgroundOps saves run, waiting up to timeoutMs (-1: no
  // limit).
  bool waitForFreeBackgroundOpSlot(int timeoutMs);
  // Failed background saves so far, oldest first.
  bool haveBackgroundErrors();
  const zel::TList<CFleck::Error>& getBackgroundErrorList();

  // Copies `count` bytes at the position into `buffer` and advances the position. A
  // read that crosses the end copies the bytes before it and then throws
  // zel::CIOError EndOfStream (4); one that starts at the end throws at once.
  void read(void* buffer, int count);
  // Copies `count` bytes from `buffer` to the position and advances it. Throws
  // zel::CError when the disk is not open for writing or has parents (unless
  // setAllowWritingWithParentDisk(true)), and zel::CIOError EndOfStream (nothing
  // written) when the bytes would pass the end.
  void write(const void* buffer, int count);
  // 0 to getSize() inclusive; else zel::CIOError InvalidPosition (7), position unchanged.
  void seek(std::int64_t position);
  // Stores a record prepared with createDataPreparer() as the fleck that starts at the
  // position (null: an all-zero fleck, whose file is removed), and advances the
  // position by one fleck (at most to the end). Returns the storer; `listener` (may be
  // null) is told when it ends. Works on a disk with parents too. Throws
  // zel::CIOError SizeExceeded (3) at or after the end, NotAligned (11) off a fleck
  // boundary, zel::CError when not open for writing. The record is shared with the
  // storer, not copied: it must stay unchanged and alive until the disk has reaped the
  // storer (after the next flush, or the disk's end), so it belongs on the heap.
  zel::P<CFleckStorer> writePreparedFleckData(const zel::TBuffer<unsigned char>* record,
                                              zel::IDoneListener* listener);

  zel::CURI getDiskFolder() const { return diskFolder; }
  // Empty when there is no child link or the linked folder does not exist.
  zel::CURI getChildDiskFolder() const { return childDiskFolder; }
  // The nearest parent folder, or an empty location.
  zel::CURI getParentDiskFolder() const;
  // Every parent folder, nearest first.
  const zel::TList<zel::CURI>& getParentDiskFolders() const noexcept { return parentDiskFolders; }
  const CFleckDiskHeader& getHeader() const noexcept { return header; }
  std::int64_t getFleckSize() const noexcept { return fleckSize; }
  int getPayloadBlockSize() const noexcept { return header.getPayloadBlockSize(); }
  std::int64_t getSize() const noexcept { return diskSize; }
  std::int64_t getPosition() const noexcept { return position; }
  void setAllowWritingWithParentDisk(bool allow) noexcept { allowWritingWithParentDisk = allow; }

  // A new preparer for this disk's header and key, for callers that prepare records
  // on threads of their own (one preparer per thread).
  zel::P<CFleckDataPreparer> createDataPreparer() const;
  // A new fleck object like the disk's own (same folders, header and key) with one
  // background save at a time, sharing nothing with the disk's own: for threads that
  // read the disk on their own.
  zel::P<CFleck> newStandAloneFleckObject() const;

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
  //
  // A linked child takes the parent's writer lock while it is made (so it cannot fall
  // into the middle of a write; use createSnapshot on a disk open for writing). The
  // child's own files are written first and the chain is relinked last: the older
  // child's parent link, then the parent's child link. A failure part-way puts back
  // the links it changed and removes the child's files, so the chain reads as before
  // and a retry works; a crash part-way leaves the new child out of the chain.
  static void createChild(zel::IFileSystem* fs, const zel::CURI& childFolder,
                          const zel::CURI& parentFolder, ChildType childType);

  // Makes a linked child of this disk, open for writing, as a snapshot of what it holds
  // now: flushes the changes, makes the child (as createChild, under the writer lock
  // this disk holds) and from then on moves replaced flecks into the new child.
  void createSnapshot(const zel::CURI& childFolder);

  // What is wrong with the child link of the disk in `diskFolder`: empty when there is
  // no link, when it leads to a folder that is gone, or when it leads to a disk whose
  // parent link leads back; else a sentence that names the link file.
  static zel::String findChildLinkProblem(zel::IFileSystem* fs, const zel::CURI& diskFolder);

  // Turns a password into the cipher key that the header describes. The password's
  // UTF-8 bytes up to the first zero byte are derived from. Throws
  // zel::CInvalidArgError for an unknown deriver, a salt under 8 bytes, fewer than 1,000
  // or more than kMaxKeyDerivationIterations iterations (the key has been resized to
  // the cipher's key length by then).
  static void deriveCipherKey(zel::TCryptBuffer<unsigned char>& key, const zel::String& password,
                              const CFleckDiskHeader& header);

  // Gives `header` a new key for `password` (not empty): cipher "aes256cbc" when it had
  // none, a new random salt, the key hash of the derived key, which `keyOut` receives.
  // The only way to change a disk's password, since the key is derived from it; every
  // record must then be encrypted again.
  static void setNewPassword(CFleckDiskHeader& header, const zel::String& password,
                             zel::TCryptBuffer<unsigned char>& keyOut);

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
  // Ties in a linked child whose creation stopped between its last two writes (see
  // createChild), under the disk's writer lock; true when it did.
  static bool finishUnlinkedChild(zel::IFileSystem* fs, const zel::CURI& diskFolder);
  // createChild; a linked child takes the parent's lock when `lockParent` (false when
  // the caller holds it).
  static void createChildFiles(zel::IFileSystem* fs, const zel::CURI& childFolder,
                               const zel::CURI& parentFolder, ChildType childType, bool lockParent);

  zel::P<zel::IFileSystem> fileSystem;
  zel::CURI diskFolder;
  zel::CURI childDiskFolder;
  zel::TList<zel::CURI> parentDiskFolders;
  CFleckDiskHeader header;
  zel::TCryptBuffer<unsigned char> cipherKey;
  zel::IIOStream::Access access;
  zel::P<keel::ICipher> cipher;
  zel::P<keel::IDigestType> checkSumDigestType;
  zel::P<keel::IDigestType> cryptoDigestType;
  std::int64_t fleckSize = 0;
  std::int64_t diskSize = 0;
  std::int64_t position = 0;
  // Declared before the fleck object, so that it is released after the last save.
  zel::P<CFleckDiskLock> writerLock;
  zel::P<CFleck> fleck;
  bool allowWritingWithParentDisk = false;
};

}  // namespace fleck
