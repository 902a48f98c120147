#include "fleck/ops/CMetadataChecker.h"

#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskAuxFileBase.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/CFleckDiskLink.h"
#include "fleck/ops/CDoneWaiter.h"
#include "zel/CBufferStream.h"

namespace fleck::ops {

int CMetadataChecker::File::intactCopy() const {
  for (int i = 0; i < 2; ++i) {
    if (copies[i].state == State::Intact) return i;
  }
  return -1;
}

CMetadataChecker::CMetadataChecker(zel::P<zel::IFileSystem> fs) : fs(std::move(fs)) {}

CMetadataChecker::File CMetadataChecker::check(const zel::CURI& folder,
                                               const zel::String& name) const {
  File file;
  file.name = name;
  // The file's owner knows what its payload starts with.
  const std::string_view fileID = name == CFleckDiskHeader::getHeaderURI(folder, 0).getName()
                                      ? CFleckDiskHeader::getFileID()
                                      : CFleckDiskLink::getFileID();
  for (int i = 0; i < 2; ++i)
    file.copies[i] = CFleckDiskAuxFileBase::inspectAuxFileCopy(fs.get(), folder, name, i, fileID);
  if (file.isIntact() && !(file.copies[0].content == file.copies[1].content)) {
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
    auto bytes = zel::make<zel::TBuffer<unsigned char>>(file.copies[source].content);
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

}  // namespace fleck::ops
