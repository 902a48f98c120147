#include "fleck/CFleckDiskAuxFileBase.h"

#include <cstring>
#include <limits>

#include "keel/CDigestType_MD5.h"
#include "keel/IDigest.h"
#include "zel/CError.h"
#include "zel/CFileSystemError.h"
#include "zel/CInvalidArgError.h"

namespace fleck {

namespace {

zel::P<keel::IDigest> makeMD5() {
  zel::P<keel::IDigestType> type = zel::make<keel::CDigestType_MD5>();
  zel::P<keel::IDigest> digest;
  type->createDigest(digest);
  return digest;
}

}  // namespace

zel::CURI CFleckDiskAuxFileBase::getAuxFileURI(const zel::CURI& folder, const zel::String& name,
                                               int copyIndex) {
  if (copyIndex == 0) return folder << name;
  return (folder << "fallback") << name;
}

void CFleckDiskAuxFileBase::storeAuxFile(zel::IFileSystem* fs, const zel::CURI& folder,
                                         const zel::String& name,
                                         const zel::TBuffer<unsigned char>& data) {
  zel::P<keel::IDigest> digest = makeMD5();
  const auto digestLength = static_cast<std::size_t>(digest->getLength());
  if (data.getUsed() == 0 || data.getUsed() > kMaxFileLength - digestLength) {
    throw zel::CInvalidArgError("CFleckDiskAuxFileBase::storeAuxFile",
                                "auxiliary file payload size out of range",
                                zel::CProps()
                                    .add("size", static_cast<std::int64_t>(data.getUsed()))
                                    .add("uri", getAuxFileURI(folder, name, 0).toString(true)));
  }
  // One digest for both copies, computed before any file is touched.
  digest->update(data.getData(), data.getUsed());
  digest->finish();

  for (int copyIndex = 0; copyIndex < 2; ++copyIndex) {
    const zel::CURI uri = getAuxFileURI(folder, name, copyIndex);
    if (copyIndex == 1) {
      // Also made when it exists already; the file system accepts that.
      fs->createFolder(uri.getParent(), 0x1ff);
    }
    zel::P<zel::IIOStream> stream =
        fs->openStream(uri, zel::IIOStream::AccessReadWrite,
                       zel::IFileSystem::CreateOrTruncate | zel::IFileSystem::OpenRegularOnly);
    stream->write(data.getData(), static_cast<int>(data.getUsed()), nullptr);
    stream->write(digest->getResult(), static_cast<int>(digestLength), nullptr);
    // Closed here rather than by the last reference, so that a failing close reaches
    // the caller instead of the log.
    stream->close();
  }
}

void CFleckDiskAuxFileBase::removeAuxFile(zel::IFileSystem* fs, const zel::CURI& folder,
                                          const zel::String& name) {
  for (int copyIndex = 0; copyIndex < 2; ++copyIndex)
    fs->deleteFile(getAuxFileURI(folder, name, copyIndex), true);
}

zel::P<zel::TBuffer<unsigned char>> CFleckDiskAuxFileBase::loadAuxFile(zel::IFileSystem* fs,
                                                                       const zel::CURI& folder,
                                                                       const zel::String& name) {
  zel::P<zel::CError> kept;
  for (int copyIndex = 0; copyIndex < 2; ++copyIndex) {
    const zel::CURI uri = getAuxFileURI(folder, name, copyIndex);
    try {
      zel::P<zel::IIOStream> stream =
          fs->openStream(uri, zel::IIOStream::AccessRead,
                         zel::IFileSystem::OpenExisting | zel::IFileSystem::OpenRegularOnly);
      std::int64_t length = stream->getLength();
      if (length == -1) length = fs->getFileInfo(uri, zel::IFileSystem::InfoSize)->getSize();

      zel::P<keel::IDigest> digest = makeMD5();
      const int digestLength = digest->getLength();
      zel::TBuffer<unsigned char> storedDigest;
      storedDigest.setUsed(static_cast<std::size_t>(digestLength));

      if (length <= digestLength || length > kMaxFileLength) {
        throw zel::CError(zel::String("Bad fleckdisk auxiliary file size: ") +
                          zel::String::fromInt64(length));
      }
      auto result = zel::make<zel::TBuffer<unsigned char>>();
      result->setUsed(static_cast<std::size_t>(length - digestLength));
      stream->read(result->getData(), static_cast<int>(result->getUsed()));
      stream->read(storedDigest.getData(), digestLength);

      digest->update(result->getData(), result->getUsed());
      digest->finish();
      if (std::memcmp(digest->getResult(), storedDigest.getData(),
                      static_cast<std::size_t>(digestLength)) != 0) {
        throw zel::CError("Fleckdisk auxiliary file is corrupted.");
      }
      return result;
    } catch (zel::CError& e) {
      e.getProps().add("uri", uri.toString(true));
      // Only copy 0's error is reported: it names the file callers look for.
      if (kept == nullptr) kept = e.clone();
    }
  }
  kept->throwClone();
  __builtin_unreachable();  // throwClone always throws; the compiler cannot see it
}

CFleckDiskAuxFileBase::CopyState CFleckDiskAuxFileBase::inspectAuxFileCopy(
    zel::IFileSystem* fs, const zel::CURI& folder, const zel::String& name, int copyIndex,
    std::string_view fileID) {
  CopyState copy;
  copy.file = getAuxFileURI(folder, name, copyIndex);
  std::int64_t length;
  try {
    length = fs->getFileInfo(copy.file, zel::IFileSystem::InfoSize)->getSize();
  } catch (const zel::CFileSystemError& e) {
    if (e.getProblem() != zel::CFileSystemError::NotFound) throw;
    copy.state = CopyState::Missing;
    return copy;
  }
  zel::P<keel::IDigest> digest = makeMD5();
  const auto digestLength = static_cast<std::size_t>(digest->getLength());
  copy.state = CopyState::Damaged;
  if (length <= static_cast<std::int64_t>(digestLength) || length > kMaxFileLength) {
    copy.problem = "bad size " + std::to_string(length);
    return copy;
  }
  zel::P<zel::IIOStream> stream =
      fs->openStream(copy.file, zel::IIOStream::AccessRead,
                     zel::IFileSystem::OpenExisting | zel::IFileSystem::OpenRegularOnly);
  copy.content.setUsed(static_cast<std::size_t>(length));
  const int got = stream->readLax(copy.content.getData(), static_cast<int>(length));
  copy.content.setUsed(static_cast<std::size_t>(got));
  if (got != length) {
    copy.problem = "shorter than its size";
    return copy;
  }
  const std::size_t payload = copy.content.getUsed() - digestLength;
  digest->update(copy.content.getData(), payload);
  digest->finish();
  if (std::memcmp(digest->getResult(), copy.content.getData() + payload, digestLength) != 0) {
    copy.problem = "digest mismatch";
    return copy;
  }
  if (payload < fileID.size() ||
      std::memcmp(copy.content.getData(), fileID.data(), fileID.size()) != 0) {
    copy.problem = "wrong file ID";
    return copy;
  }
  copy.state = CopyState::Intact;
  copy.payloadLength = payload;
  return copy;
}

}  // namespace fleck
