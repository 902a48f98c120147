#include "fleck/ops/CVerifyWorker.h"

#include <string>

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
  while (checkContinue()) {
    const CFleckTree::Entry* entry = work->next();
    if (entry == nullptr) break;
    try {
      check(*entry);
    } catch (const std::exception& e) {
      work->addDamage(CVerifyWork::Damage{entry->index, entry->file, COperationError::describe(e)});
    }
    work->addBytes(entry->size);
  }
}

void CVerifyWorker::check(const CFleckTree::Entry& entry) {
  if (entry.size > maxRecordSize) {
    work->addDamage(CVerifyWork::Damage{
        entry.index, entry.file,
        "larger (" + std::to_string(entry.size) + " bytes) than any record of this disk"});
    return;
  }
  zel::P<zel::IIOStream> stream =
      fs->openStream(entry.file, zel::IIOStream::AccessRead,
                     zel::IFileSystem::OpenExisting | zel::IFileSystem::OpenRegularOnly);
  record.setUsed(static_cast<std::size_t>(maxRecordSize) + 1);
  const int got = stream->readLax(record.getData(), static_cast<int>(record.getUsed()));
  record.setUsed(static_cast<std::size_t>(got));
  stream->close();
  payload.setUsed(0);
  preparer->unprepareData(record, payload);
  // Reading such a fleck would fail later; it is damage like any other.
  if (static_cast<std::int64_t>(payload.getUsed()) != fleckSize) {
    work->addDamage(CVerifyWork::Damage{entry.index, entry.file,
                                        "its record holds " + std::to_string(payload.getUsed()) +
                                            " bytes instead of the fleck size " +
                                            std::to_string(fleckSize)});
  }
}

}  // namespace fleck::ops
