#include "fleck/ops/CImportWorker.h"

#include <cstring>

#include "keel/CDigestManager.h"
#include "keel/IDigestType.h"
#include "zel/CFileSystemError.h"
#include "zel/CStdExceptionError.h"

namespace fleck::ops {

namespace {

bool isAllZero(const zel::TBuffer<unsigned char>& bytes) {
  const std::size_t n = bytes.getUsed();
  if (n == 0) return true;
  const unsigned char* p = bytes.getData();
  return p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0;
}

}  // namespace

CImportWorker::CImportWorker(const Setup& setup, zel::P<CImportQueue> queue,
                             zel::P<CFleckDataPreparer> preparer)
    : zel::CThread(nullptr, true),
      setup(setup),
      queue(std::move(queue)),
      preparer(std::move(preparer)),
      tree(setup.fs, setup.header) {
  zel::make<keel::CDigestManager>()
      ->getType(setup.header.getCheckSumHashID())
      ->createDigest(digest);
}

void CImportWorker::run() {
  CImportQueue::Job job;
  while (queue->pop(job)) {
    CImportQueue::Result result;
    try {
      if (job.payload == nullptr) readPayload(job);
      result = handle(job);
    } catch (const std::exception& e) {
      result = CImportQueue::Result();
      result.index = job.index;
      result.error = zel::CStdExceptionError::exceptionToError(e);
    }
    // The payload goes back to its pool before the reader waits for one.
    job.payload = nullptr;
    queue->deliver(std::move(result));
  }
}

void CImportWorker::readPayload(CImportQueue::Job& job) {
  job.payload = setup.payloadPool->checkOutItem();
  job.payload->setUsed(static_cast<std::size_t>(setup.fleckSize));
  const std::size_t got = setup.source->readAt(job.payload->getData(), job.payload->getUsed(),
                                               job.index * setup.fleckSize);
  if (got != job.payload->getUsed()) {
    throw zel::CError(zel::String::fromUTF8("the image " + setup.source->describe() +
                                            " became shorter while it was imported"));
  }
}

CImportWorker::Holder CImportWorker::locate(std::int64_t index, bool wantDigest, bool wantParent) {
  Holder holder;
  const int digestLength = preparer->getDigestLength();
  const int digestOffset = CFleckDataPreparer::getDigestOffset();
  const std::string_view recordID = CFleckDataPreparer::getRecordID();
  for (std::size_t i = 0; i < setup.chain.size(); ++i) {
    const zel::CURI file = tree.fileOf(setup.chain[i], index);
    if (holder.first >= 0) {
      // Only whether a parent has the file matters now.
      if (setup.fs->fileExists(file)) {
        holder.firstParent = static_cast<int>(i);
        break;
      }
      continue;
    }
    if (!wantDigest) {
      if (!setup.fs->fileExists(file)) continue;
    } else {
      try {
        zel::P<zel::IIOStream> stream = setup.fs->openStream(
            file, zel::IIOStream::AccessRead,
            zel::IFileSystem::OpenExisting | zel::IFileSystem::OpenRegularOnly);
        holder.digest.setUsed(static_cast<std::size_t>(digestOffset + digestLength));
        const int got = stream->readLax(holder.digest.getData(), digestOffset + digestLength);
        // A file too short for a head is damaged: its digest is unknown, and the fleck
        // is stored again.
        holder.digestKnown =
            got == digestOffset + digestLength &&
            std::memcmp(holder.digest.getData(), recordID.data(), recordID.size()) == 0;
      } catch (const zel::CFileSystemError& e) {
        if (e.getProblem() != zel::CFileSystemError::NotFound) throw;
        continue;
      }
    }
    holder.first = static_cast<int>(i);
    if (i >= 1) {
      holder.firstParent = holder.first;
      break;
    }
    if (!wantParent) break;
  }
  return holder;
}

bool CImportWorker::digestEquals(const zel::TBuffer<unsigned char>& payload, const Holder& holder) {
  if (!holder.digestKnown) return false;
  digest->reset();
  digest->update(payload.getData(), payload.getUsed());
  digest->finish();
  return std::memcmp(digest->getResult(),
                     holder.digest.getData() + CFleckDataPreparer::getDigestOffset(),
                     static_cast<std::size_t>(preparer->getDigestLength())) == 0;
}

CImportQueue::Result CImportWorker::handle(const CImportQueue::Job& job) {
  using Action = CImportQueue::Action;
  CImportQueue::Result result;
  result.index = job.index;
  const zel::TBuffer<unsigned char>& payload = *job.payload;
  result.allZero = isAllZero(payload);
  Holder holder;
  if (result.allZero || setup.incremental) {
    holder = locate(job.index, setup.incremental, result.allZero);
  }

  if (result.allZero) {
    if (holder.first < 0) return result;  // the chain reads zeros there already
    if (setup.incremental && holder.digestKnown &&
        std::memcmp(holder.digest.getData() + CFleckDataPreparer::getDigestOffset(),
                    setup.zeroDigest.getData(), setup.zeroDigest.getUsed()) == 0) {
      return result;
    }
    // The disk keeps a zero record where a parent holds the fleck; this only counts.
    result.action = holder.firstParent < 0 ? Action::RemoveFile : Action::StoreZeroRecord;
  } else {
    if (setup.incremental && holder.first >= 0 && digestEquals(payload, holder)) return result;
    result.record = setup.recordPool->checkOutItem();
    preparer->prepareData(payload, *result.record);
    result.action = Action::StoreRecord;
  }
  return result;
}

}  // namespace fleck::ops
