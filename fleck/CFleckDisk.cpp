#include "fleck/CFleckDisk.h"

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "fleck/CFleckDiskAuxFileBase.h"
#include "fleck/CFleckDiskError.h"
#include "fleck/CFleckDiskLink.h"
#include "fleck/CFleckDiskLock.h"
#include "fleck/CFleckDiskMark.h"
#include "keel/CCipherManager.h"
#include "keel/CDigestManager.h"
#include "keel/ICipher.h"
#include "keel/IDigest.h"
#include "keel/IDigestType.h"
#include "keel/KeyDerivation.h"
#include "zel/CFileSystemError.h"
#include "zel/CInvalidArgError.h"
#include "zel/CMTRand.h"
#include "zel/CMutex.h"
#include "zel/Log.h"

namespace fleck {

namespace {

constexpr const wchar_t* kDeriverID = L"PKCS5-PBKDF2-HMAC-SHA1";
constexpr std::size_t kMinSaltLength = 8;
constexpr int kMinIterations = 1000;
constexpr int kSaltLength = 8;

zel::P<keel::IDigestType> getDigestType(const zel::String& id) {
  return zel::make<keel::CDigestManager>()->getType(id);
}

// The key hash a header stores: the digest over the key's bytes, nothing else.
zel::TBuffer<unsigned char> keyHash(keel::IDigestType* type,
                                    const zel::TCryptBuffer<unsigned char>& key) {
  zel::P<keel::IDigest> digest;
  type->createDigest(digest);
  digest->update(key.getData(), key.getUsed());
  digest->finish();
  return zel::TBuffer<unsigned char>(digest->getResult(),
                                     static_cast<std::size_t>(digest->getLength()));
}

// Creates `folder` and any missing folders above it; existing ones are accepted. A
// disk is often made below a folder that does not exist yet (a new backup set).
void createFolderWithParents(zel::IFileSystem* fs, const zel::CURI& folder) {
  const zel::CURI parent = folder.getParent();
  if (parent != folder && !parent.getComponents().empty() && !fs->folderExists(parent)) {
    createFolderWithParents(fs, parent);
  }
  fs->createFolder(folder, 0x1ff);
}

// The folder a link leads to: relative links (linked children) are appended to the
// folder holding the link; absolute ones (a detached child's parent) stand as given.
zel::CURI resolveLink(const zel::CURI& holder, const zel::CURI& link) {
  return (link.isAbsolute() ? link : holder << link).toNormalized();
}

// True when `folder` holds a disk header (either copy).
bool holdsDisk(zel::IFileSystem* fs, const zel::CURI& folder) {
  return fs->fileExists(CFleckDiskHeader::getHeaderURI(folder, 0)) ||
         fs->fileExists(CFleckDiskHeader::getHeaderURI(folder, 1));
}

// The flecks a disk of `diskSize` bytes has (the last one may be short), without the
// overflow of rounding up near the int64 limit.
std::int64_t fleckCount(std::int64_t diskSize, std::int64_t fleckSize) {
  return diskSize / fleckSize + (diskSize % fleckSize != 0 ? 1 : 0);
}

// The most flecks the header's tree geometry can address.
std::int64_t maxFleckCount(const CFleckDiskHeader& header) {
  std::int64_t maxFlecks = 1;
  for (int level = 0; level < header.getTreeLevels(); ++level)
    maxFlecks *= header.getObjectsPerTreeLevel();
  return maxFlecks;
}

}  // namespace

CFleckDisk::CFleckDisk(zel::IFileSystem* fs, const zel::CURI& diskFolder,
                       const zel::String& password, zel::IIOStream::Access access,
                       int maxBackgroundOps)
    : CFleckDisk(fs, diskFolder, password, access, maxBackgroundOps, OpenOptions()) {}

CFleckDisk::CFleckDisk(zel::IFileSystem* fs, const zel::CURI& diskFolder,
                       const zel::String& password, zel::IIOStream::Access access,
                       int maxBackgroundOps, const OpenOptions& options)
    : fileSystem(fs), diskFolder(diskFolder), access(access) {
  if (maxBackgroundOps < 1) {
    throw zel::CInvalidArgError("CFleckDisk::CFleckDisk", "maxBackgroundOps must be at least 1",
                                zel::CProps().add("maxBackgroundOps", maxBackgroundOps));
  }
  header.load(fs, diskFolder);
  // A disk that an interrupted operation left half taken apart or half copied reads
  // wrong bytes: it opens again once the operation has been run to its end.
  if (CFleckDiskMark::isPresent(fs, diskFolder)) {
    CFleckDiskMark mark;
    try {
      mark.load(fs, diskFolder);
    } catch (const zel::CError&) {
      // Marked all the same; only the operation's name is lost.
    }
    throw CFleckDiskError(diskFolder, mark.getOperation());
  }
  if (access == zel::IIOStream::AccessReadWrite &&
      header.getMinWriterVersion() > getImplementationVersion()) {
    throw CFleckDiskError(CFleckDiskError::NewerVersionRequired, diskFolder);
  }
  if (!isEncryptPasswordCorrect(header, password, &cipherKey)) {
    throw CFleckDiskError(CFleckDiskError::EncryptPasswordIncorrect, diskFolder);
  }
  // Resolving the algorithms makes an unknown identifier fail here, at opening.
  if (header.getCipherID() != L"null")
    cipher = zel::make<keel::CCipherManager>()->getCipher(header.getCipherID());
  checkSumDigestType = getDigestType(header.getCheckSumHashID());
  cryptoDigestType = getDigestType(header.getCryptoHashID());
  fleckSize = header.getFleckSize();
  diskSize = header.getDiskSize();
  // Every fleck needs a path in the fleck tree: a header that claims more flecks (only
  // a damaged or forged one can) would make reads and writes past them fail, and a
  // whole-disk pass run for ever.
  if (fleckSize <= 0 || fleckSize > kMaxFleckSize || diskSize < 0 ||
      fleckCount(diskSize, fleckSize) > maxFleckCount(header)) {
    throw zel::CError("fleckdisk header holds sizes that cannot be mapped.", zel::String(), -1,
                      zel::CProps()
                          .add("diskFolder", diskFolder.toString(true))
                          .add("fleckSize", fleckSize)
                          .add("diskSize", diskSize));
  }
  position = 0;

  // Taken before the links are read: making a linked child takes this lock too, so the
  // chain a writer sees stays as it is while the writer is open.
  const bool writing = access == zel::IIOStream::AccessReadWrite;
  if (writing) writerLock = zel::make<CFleckDiskLock>(fs, diskFolder);

  // A linked child whose creation stopped before its last write is tied in now.
  if (writing) finishUnlinkedChild(fs, diskFolder);

  // A child link to a folder that is gone is ignored.
  const zel::CURI childLink = loadLink(fs, diskFolder, getChildLinkFileName());
  if (!childLink.isEmpty()) {
    childDiskFolder = resolveLink(diskFolder, childLink);
    if (!fs->folderExists(childDiskFolder)) childDiskFolder = zel::CURI();
  }
  // A writer moves its replaced flecks into the child: only into a disk that is its
  // child, never into whatever a stale or forged link names.
  if (writing && !childDiskFolder.isEmpty()) {
    const zel::String problem = findChildLinkProblem(fs, diskFolder);
    if (!problem.empty()) {
      throw zel::CError(problem, zel::String(), -1,
                        zel::CProps()
                            .add("diskFolder", diskFolder.toString(true))
                            .add("linkFile", (diskFolder << getChildLinkFileName()).toString(true))
                            .add("childDiskFolder", childDiskFolder.toString(true)));
    }
  }

  // Parent folders need not exist: a missing one has no link file, which ends the chain,
  // and flecks looked for there are simply not found.
  std::set<zel::String> visited;
  for (zel::CURI current = diskFolder;;) {
    const zel::CURI link = loadLink(fs, current, getParentLinkFileName());
    if (link.isEmpty()) break;
    const zel::CURI parent = resolveLink(current, link);
    const zel::String key = parent.toString(true);
    if (!visited.insert(key).second) {
      throw zel::CError(
          "Parent link loop detected in fleck disk.", zel::String(), -1,
          zel::CProps().add("diskFolder", diskFolder.toString(true)).add("loopFolder", key));
    }
    parentDiskFolders.add(parent);
    current = parent;
  }
  // A parent that is gone would read as zeros: wrong data without a word.
  if (!options.allowMissingParents) {
    for (const zel::CURI& parent : parentDiskFolders) {
      if (!holdsDisk(fs, parent)) {
        throw zel::CError("Parent disk of fleck disk is missing.", zel::String(), -1,
                          zel::CProps()
                              .add("diskFolder", diskFolder.toString(true))
                              .add("parentDiskFolder", parent.toString(true)));
      }
    }
  }

  fleck = zel::make<CFleck>(fs, diskFolder, childDiskFolder, parentDiskFolders, header, cipherKey,
                            maxBackgroundOps);
}

CFleckDisk::~CFleckDisk() {
  try {
    fleck->backgroundSaveChanges();
    fleck->waitUntilBackgroundSavesDone(-1);
  } catch (const std::exception& e) {
    zel::onExceptionInDestructorIgnored("fleck::CFleckDisk", e, true);
  }
}

void CFleckDisk::flushChanges() {
  fleck->backgroundSaveChanges();
  fleck->waitUntilBackgroundSavesDone(-1);
}

bool CFleckDisk::waitForFreeBackgroundOpSlot(int timeoutMs) {
  return fleck->waitForFreeBackgroundOpSlot(timeoutMs);
}

bool CFleckDisk::haveBackgroundErrors() {
  return fleck->haveBackgroundErrors();
}

const zel::TList<CFleck::Error>& CFleckDisk::getBackgroundErrorList() {
  return fleck->getBackgroundErrorList();
}

zel::CURI CFleckDisk::getParentDiskFolder() const {
  return parentDiskFolders.empty() ? zel::CURI() : parentDiskFolders.front();
}

zel::P<CFleckDataPreparer> CFleckDisk::createDataPreparer() const {
  return zel::make<CFleckDataPreparer>(header, cipherKey);
}

zel::P<CFleck> CFleckDisk::newStandAloneFleckObject() const {
  return zel::make<CFleck>(fileSystem, diskFolder, childDiskFolder, parentDiskFolders, header,
                           cipherKey, 1);
}

void CFleckDisk::read(void* buffer, int count) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (count > 0) {
    if (position == diskSize) throwIOError(zel::CIOError::EndOfStream, zel::CProps());
    const int n = static_cast<int>(std::min<std::int64_t>(count, diskSize - position));
    fleck->seek(position / fleckSize, static_cast<int>(position % fleckSize));
    const int got = fleck->readLaxInsideFleck(out, n);
    // A stored payload shorter than the fleck (only a caller's prepared record can be
    // one) cannot deliver the bytes behind it.
    if (got <= 0) throwIOError(zel::CIOError::EndOfStream, zel::CProps().add("position", position));
    out += got;
    count -= got;
    position += got;
  }
}

void CFleckDisk::write(const void* buffer, int count) {
  if (access != zel::IIOStream::AccessReadWrite) {
    throw zel::CError(
        "Internal error: CFleckDisk::write was called, but the disk was not opened for writing.");
  }
  if (!parentDiskFolders.empty() && !allowWritingWithParentDisk) {
    throw zel::CError("Cannot write to fleck disk that has a parent disk attached.", zel::String(),
                      -1, zel::CProps().add("diskFolder", diskFolder.toString(true)));
  }
  if (position + count > diskSize) throwIOError(zel::CIOError::EndOfStream, zel::CProps());
  const auto* in = static_cast<const unsigned char*>(buffer);
  while (count > 0) {
    // Up to the fleck's end: a piece that covers a whole fleck then replaces it without
    // loading the old payload first.
    const int n = static_cast<int>(
        std::min<std::int64_t>({count, diskSize - position, fleckSize - position % fleckSize}));
    fleck->seek(position / fleckSize, static_cast<int>(position % fleckSize));
    const int got = fleck->writeLaxInsideFleck(in, n);
    if (got <= 0) throwIOError(zel::CIOError::EndOfStream, zel::CProps().add("position", position));
    in += got;
    count -= got;
    position += got;
  }
}

void CFleckDisk::seek(std::int64_t target) {
  if (target < 0 || target > diskSize) {
    throwIOError(zel::CIOError::InvalidPosition,
                 zel::CProps().add("pos", target).add("size", diskSize));
  }
  position = target;
}

zel::P<CFleckStorer> CFleckDisk::writePreparedFleckData(const zel::TBuffer<unsigned char>* record,
                                                        zel::IDoneListener* listener) {
  if (position >= diskSize) {
    throw zel::CIOError(zel::CIOError::SizeExceeded, "Prepared fleck write exceeds disk size.",
                        zel::CProps()
                            .add("diskFolder", diskFolder.toString(true))
                            .add("position", position)
                            .add("diskSize", diskSize));
  }
  if (position % fleckSize != 0) {
    throw zel::CIOError(zel::CIOError::NotAligned,
                        "Prepared fleck write in fleck disk can only be done on a fleck boundary.",
                        zel::CProps()
                            .add("diskFolder", diskFolder.toString(true))
                            .add("position", position)
                            .add("fleckSize", fleckSize));
  }
  if (access != zel::IIOStream::AccessReadWrite) {
    throw zel::CError(
        "Internal error: CFleckDisk::writePreparedFleckData was called, but the disk was not "
        "opened for writing.");
  }
  fleck->seek(position / fleckSize, 0);
  zel::P<CFleckStorer> storer = fleck->writePreparedFleck(record, listener);
  position = std::min(position + fleckSize, diskSize);
  return storer;
}

void CFleckDisk::create(zel::IFileSystem* fs, const zel::CURI& folder, std::int64_t diskSize,
                        int payloadBlockSize, const zel::String& password,
                        const zel::String& compressID, int fleckSize) {
  // Sizes that no fleck can be mapped with are refused before anything is written.
  if (fleckSize != -1 && (fleckSize <= 0 || fleckSize > kMaxFleckSize)) {
    throw zel::CInvalidArgError("CFleckDisk::create", zel::String("Invalid fleck size: ") +
                                                          zel::String::fromInt64(fleckSize));
  }
  if (diskSize < 0) {
    throw zel::CInvalidArgError("CFleckDisk::create", zel::String("Invalid disk size: ") +
                                                          zel::String::fromInt64(diskSize));
  }

  CFleckDiskHeader header;
  header.setDiskSize(diskSize);
  header.setPayloadBlockSize(payloadBlockSize);
  header.setCompressID(compressID);
  if (fleckSize != -1) header.setFleckSize(fleckSize);

  zel::TCryptBuffer<unsigned char> key;
  if (password.empty()) {
    header.setCipherID("null");
  } else {
    setNewPassword(header, password, key);
  }
  // A disk that could not be opened must not be made: the compressor must be known,
  // and every fleck must have a path of its own in the fleck tree.
  CFleckDataPreparer check(header, key);
  const std::int64_t maxFlecks = maxFleckCount(header);
  if (fleckCount(diskSize, header.getFleckSize()) > maxFlecks) {
    throw zel::CInvalidArgError(
        "CFleckDisk::create",
        zel::String("Disk size needs more flecks than the fleck tree can address: ") +
            zel::String::fromInt64(diskSize),
        zel::CProps().add("fleckSize", header.getFleckSize()).add("maxFlecks", maxFlecks));
  }
  // Only a disk that passed every check gets a folder: a refused one leaves nothing.
  createFolderWithParents(fs, folder);
  if (fs->exists(CFleckDiskHeader::getHeaderURI(folder, 0))) {
    throw zel::CError("Cannot create fleck disk in a folder that already contains one.",
                      zel::String(), -1, zel::CProps().add("diskFolder", folder.toString(true)));
  }
  // An unencrypted disk stores the digest of zero bytes.
  header.setCipherKeyHash(keyHash(getDigestType(header.getCryptoHashID()), key));
  header.store(fs, folder);
}

void CFleckDisk::createChild(zel::IFileSystem* fs, const zel::CURI& childFolder,
                             const zel::CURI& parentFolder, ChildType childType) {
  createChildFiles(fs, childFolder, parentFolder, childType, true);
}

void CFleckDisk::createSnapshot(const zel::CURI& childFolder) {
  if (access != zel::IIOStream::AccessReadWrite) {
    throw zel::CError("Cannot make a snapshot of a fleck disk that is not open for writing.",
                      zel::String(), -1,
                      zel::CProps().add("diskFolder", diskFolder.toString(true)));
  }
  flushChanges();
  createChildFiles(fileSystem, childFolder, diskFolder, ChildLinked, false);
  childDiskFolder = childFolder.toNormalized();
  fleck->setChildDiskFolder(childDiskFolder);
}

namespace {

// Removes `folder` when it exists and is empty; errors are logged (only cleanup).
void removeFolderIfEmpty(zel::IFileSystem* fs, const zel::CURI& folder) {
  try {
    if (fs->folderExists(folder) && fs->listFolder(folder).empty()) fs->deleteFolder(folder);
  } catch (const zel::CError& e) {
    zel::logError(e, "Cannot remove the empty folder of a child disk that was not made.",
                  folder.toString(true));
  }
}

// Puts back what a failed createChild changed, newest first; what cannot be put back
// is logged (the caller rethrows the first failure).
class CChildUndo {
 public:
  void onFailure(std::function<void()> step) { steps.push_back(std::move(step)); }
  void run() {
    for (auto it = steps.rbegin(); it != steps.rend(); ++it) {
      try {
        (*it)();
      } catch (const std::exception& e) {
        zel::logError(e, "Cannot undo a step of a failed child disk creation.", zel::String());
      }
    }
  }

 private:
  std::vector<std::function<void()>> steps;
};

}  // namespace

void CFleckDisk::createChildFiles(zel::IFileSystem* fs, const zel::CURI& childFolder,
                                  const zel::CURI& parentFolder, ChildType childType,
                                  bool lockParent) {
  auto folders = [&] {
    return zel::CProps()
        .add("childDiskFolder", childFolder.toString(true))
        .add("parentDiskFolder", parentFolder.toString(true))
        .add("action", "CFleckDisk::createChild");
  };

  const bool childFolderExisted = fs->folderExists(childFolder);
  createFolderWithParents(fs, childFolder);
  if (fs->exists(CFleckDiskHeader::getHeaderURI(childFolder, 0))) {
    throw zel::CError("Cannot create child fleck disk in a folder that already contains one.",
                      zel::String(), -1, folders());
  }

  zel::CURI parentTarget;
  if (childType == ChildLinked) {
    try {
      parentTarget = parentFolder.toRelative(childFolder);
    } catch (const zel::CError& e) {
      throw zel::CError("Parent and child fleck disk must be in same folder hierarchy.",
                        zel::String(), -1, folders(), &e);
    }
  } else if (childType == ChildDetached) {
    parentTarget = parentFolder;
  } else {
    throw zel::CInvalidArgError(
        "CFleckDisk::createChild",
        zel::String("Invalid childType: ") + zel::String::fromInt64(static_cast<int>(childType)));
  }

  CFleckDiskHeader header;
  header.load(fs, parentFolder);
  // A linked child must not fall into the middle of a write of its parent.
  zel::P<CFleckDiskLock> lock;
  if (lockParent && childType == ChildLinked) {
    try {
      lock = zel::make<CFleckDiskLock>(fs, parentFolder);
    } catch (const zel::CError&) {
      // A parent in use leaves no empty child folder behind; retrying then just works.
      if (!childFolderExisted) removeFolderIfEmpty(fs, childFolder);
      throw;
    }
  }

  CChildUndo undo;
  // The child's own files go last on failure: header and links, both copies each,
  // then the folders that this call made.
  undo.onFailure([fs, childFolder, childFolderExisted] {
    for (int copy = 0; copy < 2; ++copy) {
      fs->deleteFile(CFleckDiskHeader::getHeaderURI(childFolder, copy), true);
      for (const zel::String& name : {getChildLinkFileName(), getParentLinkFileName()})
        fs->deleteFile(CFleckDiskAuxFileBase::getAuxFileURI(childFolder, name, copy), true);
    }
    const zel::CURI fallback = CFleckDiskHeader::getHeaderURI(childFolder, 1).getParent();
    removeFolderIfEmpty(fs, fallback);
    if (!childFolderExisted) removeFolderIfEmpty(fs, childFolder);
  });
  try {
    // The parent's child is relinked behind the new one: never a disk that a stale or
    // forged link names, which would be pulled into this chain.
    if (childType == ChildLinked) {
      if (lockParent) finishUnlinkedChild(fs, parentFolder);
      const zel::String problem = findChildLinkProblem(fs, parentFolder);
      if (!problem.empty()) throw zel::CError(problem, zel::String(), -1, folders());
    }
    // The child's own files first: until the chain names it, no other disk reads it.
    header.store(fs, childFolder);

    // A child the parent had before moves behind the new one: P -> C -> C0.
    zel::CURI previousChild;
    zel::CURI parentChildLink;
    if (childType == ChildLinked) {
      parentChildLink = loadLink(fs, parentFolder, getChildLinkFileName());
      if (!parentChildLink.isEmpty()) {
        previousChild = resolveLink(parentFolder, parentChildLink);
        storeLink(fs, childFolder, getChildLinkFileName(), previousChild.toRelative(childFolder));
      }
    }
    storeLink(fs, childFolder, getParentLinkFileName(), parentTarget);

    if (childType == ChildLinked) {
      // Then the chain, the older child first: until the parent names the new child,
      // the parent still moves its replaced flecks into the older one, which reads
      // through the new, empty child to the parent exactly as before.
      if (!previousChild.isEmpty()) {
        const zel::CURI oldParentLink = loadLink(fs, previousChild, getParentLinkFileName());
        undo.onFailure([=] {
          CFleckDiskLink::write(fs, previousChild, getParentLinkFileName(), oldParentLink);
        });
        storeLink(fs, previousChild, getParentLinkFileName(),
                  childFolder.toRelative(previousChild));
      }
      undo.onFailure([=] {
        CFleckDiskLink::write(fs, parentFolder, getChildLinkFileName(), parentChildLink);
      });
      storeLink(fs, parentFolder, getChildLinkFileName(), childFolder.toRelative(parentFolder));
    }
  } catch (...) {
    undo.run();
    throw;
  }
}

bool CFleckDisk::finishUnlinkedChild(zel::IFileSystem* fs, const zel::CURI& diskFolder) {
  // The state a creation of C between P and C0 leaves when it stops between its last
  // two writes: P's child link still names C0, C0's parent link names C already, and C
  // names P as its parent and C0 as its child. C0 reads through C (empty) to P, as
  // before; only P's own link is missing, and writing it finishes the creation.
  const zel::CURI link = loadLink(fs, diskFolder, getChildLinkFileName());
  if (link.isEmpty()) return false;
  const zel::CURI older = resolveLink(diskFolder, link);
  if (!holdsDisk(fs, older)) return false;
  const zel::CURI olderParentLink = loadLink(fs, older, getParentLinkFileName());
  if (olderParentLink.isEmpty()) return false;
  const zel::CURI newer = resolveLink(older, olderParentLink);
  const zel::CURI self = diskFolder.toNormalized();
  if (newer == self || !holdsDisk(fs, newer)) return false;
  const zel::CURI newerParent = loadLink(fs, newer, getParentLinkFileName());
  const zel::CURI newerChild = loadLink(fs, newer, getChildLinkFileName());
  if (newerParent.isEmpty() || newerChild.isEmpty() || resolveLink(newer, newerParent) != self ||
      resolveLink(newer, newerChild) != older) {
    return false;
  }
  storeLink(fs, diskFolder, getChildLinkFileName(), newer.toRelative(diskFolder));
  return true;
}

zel::String CFleckDisk::findChildLinkProblem(zel::IFileSystem* fs, const zel::CURI& diskFolder) {
  const zel::CURI link = loadLink(fs, diskFolder, getChildLinkFileName());
  if (link.isEmpty()) return zel::String();
  const zel::CURI child = resolveLink(diskFolder, link);
  if (!fs->folderExists(child)) return zel::String();
  const zel::String linkFile = (diskFolder << getChildLinkFileName()).toString(true);
  if (!holdsDisk(fs, child)) {
    return zel::String("The child link ") + linkFile + zel::String(" leads to ") +
           child.toString(true) + zel::String(", which holds no fleck disk.");
  }
  const zel::CURI back = loadLink(fs, child, getParentLinkFileName());
  if (back.isEmpty() || resolveLink(child, back) != diskFolder.toNormalized()) {
    return zel::String("The child link ") + linkFile + zel::String(" leads to ") +
           child.toString(true) +
           zel::String(", a fleck disk whose parent link does not lead back.");
  }
  return zel::String();
}

zel::CURI CFleckDisk::loadLink(zel::IFileSystem* fs, const zel::CURI& folder,
                               const zel::String& name) {
  try {
    CFleckDiskLink link;
    link.load(fs, folder, name);
    return link.getTargetURI();
  } catch (const zel::CFileSystemError& e) {
    if (e.getProblem() == zel::CFileSystemError::NotFound) return zel::CURI();
    throw;
  }
}

void CFleckDisk::storeLink(zel::IFileSystem* fs, const zel::CURI& folder, const zel::String& name,
                           const zel::CURI& target) {
  CFleckDiskLink link;
  link.setTargetURI(target);
  link.store(fs, folder, name);
}

void CFleckDisk::deriveCipherKey(zel::TCryptBuffer<unsigned char>& key, const zel::String& password,
                                 const CFleckDiskHeader& header) {
  // The password bytes live in a crypt buffer so that they are wiped when done.
  std::string utf8 = password.toUTF8();
  const std::size_t length = std::strlen(utf8.c_str());
  zel::TCryptBuffer<unsigned char> passwordBytes(
      reinterpret_cast<const unsigned char*>(utf8.data()), length);
  zel::secureWipe(utf8.data(), utf8.size());

  zel::P<keel::ICipher> cipher = zel::make<keel::CCipherManager>()->getCipher(header.getCipherID());
  key.setUsed(static_cast<std::size_t>(cipher->getKeyLength()));

  const zel::String source = "CFleckDisk::deriveCypherKey";
  if (header.getCipherKeyDeriverID() != kDeriverID) {
    throw zel::CInvalidArgError(
        source, zel::String("Unknown key deriver ID: ") + header.getCipherKeyDeriverID());
  }
  const auto& salt = header.getCipherKeyDerivationSalt();
  if (salt.getUsed() < kMinSaltLength) {
    throw zel::CInvalidArgError(
        source, zel::String("Key derivation salt is too small: ") +
                    zel::String::fromInt64(static_cast<std::int64_t>(salt.getUsed())) +
                    zel::String(" bytes"));
  }
  if (header.getCipherKeyDerivationIterations() > kMaxKeyDerivationIterations) {
    throw zel::CInvalidArgError(
        source,
        zel::String("Key derivation iterations are too large: ") +
            zel::String::fromInt64(header.getCipherKeyDerivationIterations()),
        zel::CProps()
            .add("field", "cipherKeyDerivationIterations")
            .add("maximum", kMaxKeyDerivationIterations));
  }
  if (header.getCipherKeyDerivationIterations() < kMinIterations) {
    throw zel::CInvalidArgError(
        source, zel::String("Key derivation iterations are too small: ") +
                    zel::String::fromInt64(header.getCipherKeyDerivationIterations()));
  }
  keel::deriveKey_PKCS5_PBKDF2_HMAC_SHA1(
      passwordBytes.getData(), passwordBytes.getUsed(), salt.getData(), salt.getUsed(),
      header.getCipherKeyDerivationIterations(), cipher->getKeyLength(), key.getData());
}

void CFleckDisk::setNewPassword(CFleckDiskHeader& header, const zel::String& password,
                                zel::TCryptBuffer<unsigned char>& keyOut) {
  if (password.empty()) {
    throw zel::CInvalidArgError("CFleckDisk::setNewPassword", "an empty password encrypts nothing");
  }
  if (header.getCipherID() == L"null") {
    // The key fields of an unencrypted disk were never used: the defaults of a new disk.
    const CFleckDiskHeader fresh;
    header.setCipherID(fresh.getCipherID());
    header.setCipherKeyDeriverID(fresh.getCipherKeyDeriverID());
    header.setCipherKeyDerivationIterations(fresh.getCipherKeyDerivationIterations());
  }
  unsigned char salt[kSaltLength];
  {
    zel::CMutexLock lock(zel::CMTRand::getGlobalInstanceMutex());
    zel::CMTRand::getGlobal()->randData(salt, sizeof(salt));
  }
  header.setCipherKeyDerivationSalt(zel::TBuffer<unsigned char>(salt, sizeof(salt)));
  deriveCipherKey(keyOut, password, header);
  header.setCipherKeyHash(keyHash(getDigestType(header.getCryptoHashID()), keyOut));
}

bool CFleckDisk::isCipherKeyCorrect(const CFleckDiskHeader& header,
                                    const zel::TCryptBuffer<unsigned char>& key) {
  if (header.getCipherID() == L"null") return true;
  zel::P<keel::ICipher> cipher = zel::make<keel::CCipherManager>()->getCipher(header.getCipherID());
  zel::P<keel::IDigestType> type = getDigestType(header.getCryptoHashID());
  if (key.getUsed() != static_cast<std::size_t>(cipher->getKeyLength())) return false;
  return keyHash(type, key) == header.getCipherKeyHash();
}

bool CFleckDisk::isCipherKeyCorrect(zel::IFileSystem* fs, const zel::CURI& diskFolder,
                                    const zel::TCryptBuffer<unsigned char>& key) {
  CFleckDiskHeader header;
  header.load(fs, diskFolder);
  return isCipherKeyCorrect(header, key);
}

bool CFleckDisk::isEncryptPasswordCorrect(const CFleckDiskHeader& header,
                                          const zel::String& password,
                                          zel::TCryptBuffer<unsigned char>* keyOut) {
  if (header.getCipherID() == L"null") {
    if (!password.empty()) return false;
    if (keyOut != nullptr) keyOut->setUsed(0);
    return true;
  }
  zel::TCryptBuffer<unsigned char> key;
  deriveCipherKey(key, password, header);
  const bool ok = isCipherKeyCorrect(header, key);
  if (ok && keyOut != nullptr) keyOut->assign(key);
  return ok;
}

bool CFleckDisk::isEncryptPasswordCorrect(zel::IFileSystem* fs, const zel::CURI& diskFolder,
                                          const zel::String& password,
                                          zel::TCryptBuffer<unsigned char>* keyOut) {
  CFleckDiskHeader header;
  header.load(fs, diskFolder);
  return isEncryptPasswordCorrect(header, password, keyOut);
}

void CFleckDisk::throwIOError(zel::CIOError::Code code, const zel::CProps& props) const {
  zel::CProps all;
  all.addAll(props);
  all.add("uri", diskFolder.toString(true));
  throw zel::CIOError(code, zel::String(), all);
}

}  // namespace fleck
