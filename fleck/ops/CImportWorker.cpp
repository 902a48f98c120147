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
      tree(setup.fs, setup.header) {}

void CImportWorker::run() {
  std::vector<CImportQueue::Job> jobs;
  std::vector<CImportQueue::Result> results;
  while (queue->popSome(jobs, setup.batch)) {
    results.assign(jobs.size(), CImportQueue::Result());
    handle(jobs, results);
    // The payloads go back to their pool before the reader waits for one.
    jobs.clear();
    for (CImportQueue::Result& result : results)
      queue->deliver(std::move(result));
  }
}

void CImportWorker::handle(std::vector<CImportQueue::Job>& jobs,
                           std::vector<CImportQueue::Result>& results) {
  const auto d = static_cast<std::size_t>(preparer->getDigestLength());
  const auto fail = [&](std::size_t i, const std::exception& e) {
    results[i] = CImportQueue::Result();
    results[i].index = jobs[i].index;
    results[i].error = zel::CStdExceptionError::exceptionToError(e);
  };
  // The payloads, and the digests of those that are not all zeros, all at once.
  std::vector<const zel::TBuffer<unsigned char>*> payloads;
  std::vector<std::size_t> withData;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    results[i].index = jobs[i].index;
    try {
      if (jobs[i].payload == nullptr) readPayload(jobs[i]);
      results[i].allZero = isAllZero(*jobs[i].payload);
      if (!results[i].allZero) {
        payloads.push_back(jobs[i].payload.get());
        withData.push_back(i);
      }
    } catch (const std::exception& e) {
      fail(i, e);
    }
  }
  std::vector<unsigned char> digests(payloads.size() * d);
  try {
    if (!payloads.empty())
      preparer->digestPayloads(payloads.data(), payloads.size(), digests.data());
  } catch (const std::exception& e) {
    for (const std::size_t i : withData)
      fail(i, e);
    withData.clear();
  }
  std::vector<std::size_t> needed;
  std::vector<unsigned char> neededDigests;
  for (std::size_t i = 0, k = 0; i < jobs.size(); ++i) {
    if (results[i].error != nullptr) continue;
    const bool data = k < withData.size() && withData[k] == i;
    const unsigned char* digest = data ? digests.data() + (k++) * d : nullptr;
    try {
      if (decide(jobs[i], digest, results[i])) {
        needed.push_back(i);
        neededDigests.insert(neededDigests.end(), digest, digest + d);
      }
    } catch (const std::exception& e) {
      fail(i, e);
    }
  }
  if (needed.empty()) return;
  std::vector<const zel::TBuffer<unsigned char>*> sources;
  std::vector<zel::TBuffer<unsigned char>*> records;
  try {
    for (const std::size_t i : needed) {
      results[i].record = setup.recordPool->checkOutItem();
      results[i].action = CImportQueue::Action::StoreRecord;
      sources.push_back(jobs[i].payload.get());
      records.push_back(results[i].record.get());
    }
    preparer->prepareBatch(sources.data(), neededDigests.data(), records.data(), needed.size());
  } catch (const std::exception& e) {
    for (const std::size_t i : needed)
      fail(i, e);
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

bool CImportWorker::decide(const CImportQueue::Job& job, const unsigned char* payloadDigest,
                           CImportQueue::Result& result) {
  using Action = CImportQueue::Action;
  Holder holder;
  if (result.allZero || setup.incremental) {
    holder = locate(job.index, setup.incremental, result.allZero);
  }
  const auto d = static_cast<std::size_t>(preparer->getDigestLength());
  const auto heldDigestIs = [&](const unsigned char* digest) {
    return holder.digestKnown &&
           std::memcmp(holder.digest.getData() + CFleckDataPreparer::getDigestOffset(), digest,
                       d) == 0;
  };
  if (result.allZero) {
    if (holder.first < 0) return false;  // the chain reads zeros there already
    if (setup.incremental && heldDigestIs(setup.zeroDigest.getData())) return false;
    // The disk keeps a zero record where a parent holds the fleck; this only counts.
    result.action = holder.firstParent < 0 ? Action::RemoveFile : Action::StoreZeroRecord;
    return false;
  }
  return !(setup.incremental && holder.first >= 0 && heldDigestIs(payloadDigest));
}

}  // namespace fleck::ops
