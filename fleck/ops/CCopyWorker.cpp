#include "fleck/ops/CCopyWorker.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fleck/ops/CDiskAccess.h"
#include "fleck/ops/CDoneWaiter.h"
#include "fleck/ops/COperationError.h"
#include "keel/CDigestManager.h"
#include "keel/IDigestType.h"
#include "zel/CBufferStream.h"
#include "zel/CFileSystemError.h"

namespace fleck::ops {

namespace {

constexpr int kOpenFlags = zel::IFileSystem::OpenExisting | zel::IFileSystem::OpenRegularOnly;

// A failure of one step on one file, worded for people.
class CStepError final : public std::exception {
 public:
  explicit CStepError(std::string text) : text(std::move(text)) {}
  const char* what() const noexcept override { return text.c_str(); }

 private:
  std::string text;
};

}  // namespace

CCopyWorker::CCopyWorker(zel::P<zel::IFileSystem> fs, zel::P<CCopyWork> work, Phase phase,
                         const CFleckDiskHeader& header, zel::P<CFleckDataPreparer> from,
                         zel::P<CFleckDataPreparer> to, bool dropZeroRecords)
    : zel::CThread(nullptr, true),
      fs(std::move(fs)),
      work(std::move(work)),
      phase(phase),
      from(std::move(from)),
      to(std::move(to)),
      maxRecordSize(CFleckDataPreparer::getMaxRecordSize(header.getFleckSize())) {
  zel::make<keel::CDigestManager>()->getType(header.getCheckSumHashID())->createDigest(digest);
  digestLength = digest->getLength();
  if (dropZeroRecords && phase == Phase::Copy) {
    const std::vector<unsigned char> zeros(static_cast<std::size_t>(header.getFleckSize()));
    digest->reset();
    digest->update(zeros.data(), zeros.size());
    digest->finish();
    zeroDigest.assign(digest->getResult(), digest->getResult() + digestLength);
  }
}

void CCopyWorker::run() {
  while (checkContinue()) {
    if (phase == Phase::Delete) {
      const zel::CURI* file = work->nextStale();
      if (file == nullptr) break;
      try {
        fs->deleteFile(*file, true);
        work->addDeleted();
      } catch (const std::exception& e) {
        work->addFailure("cannot delete " + CDiskAccess::show(*file) + ": " +
                         COperationError::describe(e));
      }
      continue;
    }
    const CCopyPlan::File* file = work->nextFile();
    if (file == nullptr) break;
    std::int64_t size = -1;
    try {
      size = unchanged(*file);
      if (size < 0) size = copy(*file);
    } catch (const CStepError& e) {
      work->addFailure(e.what());
    } catch (const std::exception& e) {
      work->addFailure("cannot copy " + CDiskAccess::show(file->source) + ": " +
                       COperationError::describe(e));
    }
    work->addDone(size >= 0 ? size : std::max<std::int64_t>(file->sourceSize, 0));
  }
}

std::int64_t CCopyWorker::readDigest(zel::IFileSystem& fs, const zel::CURI& file, int digestLength,
                                     bool head, unsigned char* into) {
  zel::P<zel::IIOStream> stream = fs.openStream(file, zel::IIOStream::AccessRead, kOpenFlags);
  const std::int64_t length = stream->getLength();
  if (length < CFleckDataPreparer::getDigestOffset() + 2 * digestLength) return -1;
  stream->seek(head ? CFleckDataPreparer::getDigestOffset() : length - digestLength);
  stream->read(into, digestLength);
  stream->close();
  return length;
}

std::int64_t CCopyWorker::unchanged(const CCopyPlan::File& file) {
  if (!file.destinationHeld) return -1;
  // Re-encrypted records differ in every byte but the head: only digests compare.
  const bool sizesCount = to == nullptr;
  if (sizesCount && file.sourceSize >= 0 && file.destinationSize >= 0 &&
      file.sourceSize != file.destinationSize)
    return -1;
  std::vector<unsigned char> mine(static_cast<std::size_t>(digestLength));
  std::vector<unsigned char> theirs(mine.size());
  const std::int64_t length =
      readDigest(*fs, file.source, digestLength, to != nullptr, mine.data());
  if (length < 0) return -1;
  try {
    const std::int64_t held =
        readDigest(*fs, file.destination, digestLength, to != nullptr, theirs.data());
    work->addRead(2 * digestLength);
    if (held < 0 || (sizesCount && held != length) || mine != theirs) return -1;
  } catch (const zel::CError&) {
    // A file the destination cannot give (gone since the listing, cut short) is copied.
    return -1;
  }
  work->addSkipped();
  return length;
}

std::int64_t CCopyWorker::copy(const CCopyPlan::File& file) {
  try {
    readWhole(file.source, record);
  } catch (const std::exception& e) {
    throw CStepError("cannot read " + CDiskAccess::show(file.source) + ": " +
                     COperationError::describe(e));
  }
  work->addRead(static_cast<std::int64_t>(record.getUsed()));
  const auto d = static_cast<std::size_t>(digestLength);
  // A damaged source file is not spread further.
  if (record.getUsed() < CFleckDataPreparer::getDigestOffset() + 2 * d || !digestMatches(record))
    throw CStepError(CDiskAccess::show(file.source) +
                     " is damaged: its record digest does not match its bytes");
  const std::size_t head = CFleckDataPreparer::getDigestOffset();
  if (!zeroDigest.empty() && std::memcmp(record.getData() + head, zeroDigest.data(), d) == 0) {
    // A disk without parents reads zeros where it has no file: the record is not needed.
    try {
      if (file.destinationExists) fs->deleteFile(file.destination, true);
    } catch (const std::exception& e) {
      throw CStepError("cannot delete " + CDiskAccess::show(file.destination) + ": " +
                       COperationError::describe(e));
    }
    work->addDropped();
    return static_cast<std::int64_t>(record.getUsed());
  }
  const zel::TBuffer<unsigned char>* out = &record;
  if (to != nullptr) {
    try {
      from->reencryptData(record, *to, written);
    } catch (const std::exception& e) {
      throw CStepError("cannot encrypt " + CDiskAccess::show(file.source) +
                       " again: " + COperationError::describe(e));
    }
    out = &written;
  }
  const auto size = static_cast<std::int64_t>(out->getUsed());
  try {
    store(file.destination, *out);
  } catch (const std::exception& e) {
    throw CStepError("cannot write " + CDiskAccess::show(file.destination) + ": " +
                     COperationError::describe(e));
  }

  // Read back: the bytes must carry their own record digest, and the digest the
  // source's file has (or, encrypted again, the source's payload digest).
  try {
    readWhole(file.destination, written);
  } catch (const std::exception& e) {
    throw CStepError("cannot read back " + CDiskAccess::show(file.destination) + ": " +
                     COperationError::describe(e));
  }
  const std::size_t n = written.getUsed();
  const std::size_t offset = to != nullptr ? CFleckDataPreparer::getDigestOffset() : n - d;
  const std::size_t sourceOffset =
      to != nullptr ? CFleckDataPreparer::getDigestOffset() : record.getUsed() - d;
  if (static_cast<std::int64_t>(n) != size || !digestMatches(written) ||
      std::memcmp(written.getData() + offset, record.getData() + sourceOffset, d) != 0) {
    throw CStepError(CDiskAccess::show(file.destination) +
                     " reads back wrong: its digest does not match " +
                     CDiskAccess::show(file.source));
  }
  work->addRead(static_cast<std::int64_t>(n));
  work->addCopied(size);
  return static_cast<std::int64_t>(record.getUsed());
}

bool CCopyWorker::digestMatches(const zel::TBuffer<unsigned char>& bytes) {
  const auto d = static_cast<std::size_t>(digestLength);
  if (bytes.getUsed() < d) return false;
  digest->reset();
  digest->update(bytes.getData(), bytes.getUsed() - d);
  digest->finish();
  return std::memcmp(digest->getResult(), bytes.getData() + bytes.getUsed() - d, d) == 0;
}

void CCopyWorker::readWhole(const zel::CURI& file, zel::TBuffer<unsigned char>& into) {
  zel::P<zel::IIOStream> stream = fs->openStream(file, zel::IIOStream::AccessRead, kOpenFlags);
  // One byte more than any record may have tells a file that is too large.
  into.setUsed(static_cast<std::size_t>(maxRecordSize) + 1);
  const int got = stream->readLax(into.getData(), static_cast<int>(into.getUsed()));
  into.setUsed(static_cast<std::size_t>(got));
  stream->close();
  if (got > maxRecordSize) throw COperationError(file, "larger than any record of this disk");
}

void CCopyWorker::store(const zel::CURI& file, const zel::TBuffer<unsigned char>& bytes) {
  for (int attempt = 0;; ++attempt) {
    auto waiter = zel::make<CDoneWaiter>();
    auto stream = zel::make<zel::CBufferStream>(&bytes, zel::CBufferStream::ReadOnly());
    fs->storeStreamAsync(file, static_cast<std::int64_t>(bytes.getUsed()), stream, true,
                         waiter.get());
    try {
      waiter->wait();
      return;
    } catch (const zel::CFileSystemError& e) {
      // The tree's folders are made when a store finds them missing.
      if (attempt > 0 || e.getProblem() != zel::CFileSystemError::NotFound) throw;
    }
    makeFolders(file.getParent());
  }
}

void CCopyWorker::makeFolders(const zel::CURI& folder) {
  if (fs->folderExists(folder)) return;
  const zel::CURI parent = folder.getParent();
  if (parent != folder && !parent.getComponents().empty()) makeFolders(parent);
  fs->createFolder(folder, 0x1ff);
}

}  // namespace fleck::ops
