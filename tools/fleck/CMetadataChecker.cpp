#include "CMetadataChecker.h"

#include <cstring>

#include "CDoneWaiter.h"
#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskAuxFileBase.h"
#include "fleck/CFleckDiskHeader.h"
#include "keel/CDigestType_MD5.h"
#include "keel/IDigest.h"
#include "zel/CBufferStream.h"
#include "zel/CFileSystemError.h"

namespace fleck::cli {

namespace {

constexpr int kDigestLength = keel::CDigestType_MD5::kLength;

// The first bytes of each metadata file's payload.
const char* magicOf(const zel::String& name) {
  return name.endsWith(L".fleckdisk") ? "FLCKDISK" : "FLCKLINK";
}

}  // namespace

int CMetadataChecker::File::intactCopy() const {
  for (int i = 0; i < 2; ++i) {
    if (copies[i].state == State::Intact) return i;
  }
  return -1;
}

CMetadataChecker::CMetadataChecker(zel::P<zel::IFileSystem> fs) : fs(std::move(fs)) {}

CMetadataChecker::Copy CMetadataChecker::checkCopy(const zel::CURI& folder, const zel::String& name,
                                                   int copyIndex) const {
  Copy copy;
  copy.file = CFleckDiskAuxFileBase::getAuxFileURI(folder, name, copyIndex);
  std::int64_t length;
  try {
    length = fs->getFileInfo(copy.file, zel::IFileSystem::InfoSize)->getSize();
  } catch (const zel::CFileSystemError& e) {
    if (e.getProblem() != zel::CFileSystemError::NotFound) throw;
    copy.state = State::Missing;
    return copy;
  }
  copy.state = State::Damaged;
  if (length <= kDigestLength || length > CFleckDiskAuxFileBase::kMaxFileLength) {
    copy.problem = "bad size " + std::to_string(length);
    return copy;
  }
  zel::P<zel::IIOStream> stream =
      fs->openStream(copy.file, zel::IIOStream::AccessRead,
                     zel::IFileSystem::OpenExisting | zel::IFileSystem::OpenRegularOnly);
  copy.bytes.setUsed(static_cast<std::size_t>(length));
  const int got = stream->readLax(copy.bytes.getData(), static_cast<int>(length));
  copy.bytes.setUsed(static_cast<std::size_t>(got));
  if (got != length) {
    copy.problem = "shorter than its size";
    return copy;
  }

  zel::P<keel::IDigest> digest;
  zel::make<keel::CDigestType_MD5>()->createDigest(digest);
  const std::size_t payload = copy.bytes.getUsed() - kDigestLength;
  digest->update(copy.bytes.getData(), payload);
  digest->finish();
  if (std::memcmp(digest->getResult(), copy.bytes.getData() + payload, kDigestLength) != 0) {
    copy.problem = "digest mismatch";
    return copy;
  }
  const char* magic = magicOf(name);
  if (payload < std::strlen(magic) ||
      std::memcmp(copy.bytes.getData(), magic, std::strlen(magic)) != 0) {
    copy.problem = "wrong file ID";
    return copy;
  }
  copy.state = State::Intact;
  return copy;
}

CMetadataChecker::File CMetadataChecker::check(const zel::CURI& folder,
                                               const zel::String& name) const {
  File file;
  file.name = name;
  for (int i = 0; i < 2; ++i)
    file.copies[i] = checkCopy(folder, name, i);
  if (file.isIntact() && !(file.copies[0].bytes == file.copies[1].bytes)) {
    file.copies[1].state = State::Damaged;
    file.copies[1].problem = "differs from the first copy";
  }
  return file;
}

std::vector<CMetadataChecker::File> CMetadataChecker::checkAll(const zel::CURI& folder) const {
  return {check(folder, CFleckDiskHeader::getHeaderURI(folder, 0).getName()),
          check(folder, CFleckDisk::getParentLinkFileName()),
          check(folder, CFleckDisk::getChildLinkFileName())};
}

int CMetadataChecker::repair(const File& file) const {
  const int source = file.intactCopy();
  if (source < 0) return 0;
  int rewritten = 0;
  for (int i = 0; i < 2; ++i) {
    if (i == source || file.copies[i].state == State::Intact) continue;
    const zel::CURI target = file.copies[i].file;
    fs->createFolder(target.getParent(), 0x1ff);
    // A heap copy: the file system may hold the source stream a little beyond the end
    // of the operation, longer than `file` is guaranteed to live.
    auto bytes = zel::make<zel::TBuffer<unsigned char>>(file.copies[source].bytes);
    auto waiter = zel::make<CDoneWaiter>();
    // A new file renamed into place: a crash leaves the old copy or the whole new one.
    fs->storeStreamAsync(target, static_cast<std::int64_t>(bytes->getUsed()),
                         zel::make<zel::CBufferStream>(bytes.get(), zel::CBufferStream::ReadOnly()),
                         /*replace=*/true, waiter);
    waiter->wait();
    ++rewritten;
  }
  return rewritten;
}

std::string CMetadataChecker::describe(const Copy& copy) {
  switch (copy.state) {
    case State::Intact:
      return "intact";
    case State::Missing:
      return "missing";
    case State::Damaged:
      return "damaged (" + copy.problem + ")";
  }
  return "?";
}

}  // namespace fleck::cli
