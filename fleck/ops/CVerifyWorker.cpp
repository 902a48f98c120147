#include "fleck/ops/CVerifyWorker.h"

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include "fleck/ops/COperationError.h"

namespace fleck::ops {

CVerifyWorker::CVerifyWorker(zel::P<zel::IFileSystem> fs, zel::P<CVerifyWork> work,
                             zel::P<CFleckDataPreparer> preparer, std::int64_t fleckSize)
    : zel::CThread(nullptr, true),
      fs(std::move(fs)),
      work(std::move(work)),
      preparer(std::move(preparer)),
      fleckSize(fleckSize),
      maxRecordSize(CFleckDataPreparer::getMaxRecordSize(fleckSize)) {}

void CVerifyWorker::run() {
  // Records checked at once: their digests run side by side (one vector lane each).
  const auto batch = static_cast<std::size_t>(std::clamp<std::int64_t>(
      (std::int64_t{32} << 20) / std::max<std::int64_t>(fleckSize, 1), 1, 16));
  records.resize(batch);
  payloads.resize(batch);
  std::vector<const CFleckTree::Entry*> entries;
  while (checkContinue()) {
    entries.clear();
    for (const CFleckTree::Entry* entry; entries.size() < batch && (entry = work->next());)
      entries.push_back(entry);
    if (entries.empty()) break;
    check(entries);
    for (const CFleckTree::Entry* entry : entries)
      work->addBytes(entry->size);
  }
}

void CVerifyWorker::check(const std::vector<const CFleckTree::Entry*>& entries) {
  std::vector<const zel::TBuffer<unsigned char>*> read;
  std::vector<zel::TBuffer<unsigned char>*> decoded;
  std::vector<const CFleckTree::Entry*> readEntries;
  const auto damage = [this](const CFleckTree::Entry& entry, std::string problem) {
    work->addDamage(CVerifyWork::Damage{entry.index, entry.file, std::move(problem)});
  };
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const CFleckTree::Entry& entry = *entries[i];
    if (entry.size > maxRecordSize) {
      damage(entry,
             "larger (" + std::to_string(entry.size) + " bytes) than any record of this disk");
      continue;
    }
    try {
      zel::P<zel::IIOStream> stream =
          fs->openStream(entry.file, zel::IIOStream::AccessRead,
                         zel::IFileSystem::OpenExisting | zel::IFileSystem::OpenRegularOnly);
      zel::TBuffer<unsigned char>& record = records[i];
      record.setUsed(static_cast<std::size_t>(maxRecordSize) + 1);
      const int got = stream->readLax(record.getData(), static_cast<int>(record.getUsed()));
      record.setUsed(static_cast<std::size_t>(got));
      stream->close();
      read.push_back(&record);
      decoded.push_back(&payloads[i]);
      readEntries.push_back(&entry);
    } catch (const std::exception& e) {
      damage(entry, COperationError::describe(e));
    }
  }
  std::vector<std::exception_ptr> errors(read.size());
  preparer->unprepareBatch(read.data(), decoded.data(), read.size(), errors.data());
  for (std::size_t k = 0; k < read.size(); ++k) {
    try {
      if (errors[k] != nullptr) std::rethrow_exception(errors[k]);
    } catch (const std::exception& e) {
      damage(*readEntries[k], COperationError::describe(e));
      continue;
    }
    // Reading such a fleck would fail later; it is damage like any other.
    if (static_cast<std::int64_t>(decoded[k]->getUsed()) != fleckSize) {
      damage(*readEntries[k], "its record holds " + std::to_string(decoded[k]->getUsed()) +
                                  " bytes instead of the fleck size " + std::to_string(fleckSize));
    }
  }
}

}  // namespace fleck::ops
