#include "fleck/ops/CDiskCopier.h"

#include "fleck/ops/CCopyReuse.h"

#include <algorithm>
#include <string>
#include <vector>

#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskError.h"
#include "fleck/CFleckDiskLink.h"
#include "fleck/CFleckDiskLock.h"
#include "fleck/CFleckDiskMark.h"
#include "fleck/ops/CCopyWorker.h"
#include "fleck/ops/CDiskAccess.h"
#include "fleck/ops/COperationError.h"
#include "zel/CTime.h"

namespace fleck::ops {

namespace {

constexpr int kProgressPollMs = 100;

void makeFolders(zel::IFileSystem* fs, const zel::CURI& folder) {
  if (fs->folderExists(folder)) return;
  const zel::CURI parent = folder.getParent();
  if (parent != folder && !parent.getComponents().empty()) makeFolders(fs, parent);
  fs->createFolder(folder, 0x1ff);
}

// True when the link file reads back as `target` (or is absent when that is empty).
bool linkReadsBack(zel::IFileSystem* fs, const zel::CURI& folder, const zel::String& name,
                   const zel::CURI& target) {
  if (target.isEmpty()) {
    return !fs->exists(CFleckDiskLink::getAuxFileURI(folder, name, 0)) &&
           !fs->exists(CFleckDiskLink::getAuxFileURI(folder, name, 1));
  }
  CFleckDiskLink link;
  link.load(fs, folder, name);
  return link.getTargetURI() == target;
}

}  // namespace

CDiskCopier::CDiskCopier(zel::P<zel::IFileSystem> fs, const Options& options)
    : fs(std::move(fs)), options(options) {
  this->options.threads = std::max(1, options.threads);
}

CDiskCopier::Stats CDiskCopier::run(const zel::CURI& source, const zel::CURI& destination,
                                    IPasswordSource& passwords, IProgress& progress) {
  const zel::CTime start = zel::CTime::now();
  CCopyPlan::Options planOptions;
  planOptions.chain = options.chain;
  planOptions.reencrypt = options.reencrypt;
  planOptions.newPassword = options.newPassword;
  CCopyPlan plan = CCopyPlan::make(fs, source, destination, planOptions, passwords);

  // Each destination disk is ours for the whole copy, and marked before it changes.
  std::vector<zel::P<CFleckDiskLock>> locks;
  for (const CCopyPlan::Disk& disk : plan.disks) {
    try {
      makeFolders(fs.get(), disk.destination);
      locks.push_back(zel::make<CFleckDiskLock>(fs.get(), disk.destination));
    } catch (const CFleckDiskError& e) {
      if (e.getCode() == CFleckDiskError::InUseByAnotherWriter) throw CDiskAccess::inUse(e);
      throw COperationError(disk.destination, COperationError::describe(e));
    } catch (const zel::CError& e) {
      throw COperationError(disk.destination,
                            "cannot make the folder: " + COperationError::describe(e));
    }
  }
  for (const CCopyPlan::Disk& disk : plan.disks) {
    try {
      CFleckDiskMark("copy", zel::String::fromUTF8("from " + CDiskAccess::show(disk.source)))
          .store(fs.get(), disk.destination);
    } catch (const zel::CError& e) {
      throw COperationError(disk.destination,
                            "cannot mark the copy unfinished: " + COperationError::describe(e));
    }
  }

  // Records an earlier copy holds in another disk of the chain move instead of being sent.
  const std::int64_t moved = CCopyReuse::run(fs, plan, options.threads);
  auto work = zel::make<CCopyWork>(plan.files, plan.stale);
  progress.start(plan.sourceBytes);
  runPhase(plan, work, false, destination, &progress);
  progress.finish(work->getBytesDone());
  runPhase(plan, work, true, destination, nullptr);
  for (const CCopyPlan::Disk& disk : plan.disks)
    finishDisk(disk);
  // Everything lasts before the marks go: a crash may not leave a copy that opens and
  // lacks what was written last.
  try {
    fs->sync(destination);  // every destination disk lies below it
  } catch (const zel::CError& e) {
    throw COperationError(destination, "cannot sync: " + COperationError::describe(e));
  }
  for (const CCopyPlan::Disk& disk : plan.disks) {
    try {
      CFleckDiskMark::clear(fs.get(), disk.destination);
    } catch (const zel::CError& e) {
      throw COperationError(disk.destination,
                            "cannot finish the copy: " + COperationError::describe(e));
    }
  }

  Stats stats;
  stats.disks = static_cast<std::int64_t>(plan.disks.size());
  stats.copied = work->getCopied();
  stats.moved = moved;
  stats.skipped = work->getSkipped();
  stats.deleted = work->getDeleted();
  stats.dropped = work->getDropped();
  stats.bytesWritten = work->getBytesWritten();
  stats.bytesRead = work->getBytesRead();
  stats.seconds = (zel::CTime::now() - start).getSeconds();
  return stats;
}

void CDiskCopier::runPhase(const CCopyPlan& plan, zel::P<CCopyWork> work, bool deleting,
                           const zel::CURI& destination, IProgress* progress) {
  std::vector<zel::P<CCopyWorker>> workers;
  for (int i = 0; i < options.threads; ++i) {
    zel::P<CFleckDataPreparer> from;
    zel::P<CFleckDataPreparer> to;
    if (plan.reencrypt && !deleting) {
      from = zel::make<CFleckDataPreparer>(plan.sourceHeader, plan.sourceKey);
      to = zel::make<CFleckDataPreparer>(plan.disks.front().header, plan.destinationKey);
    }
    auto worker = zel::make<CCopyWorker>(
        fs, work, deleting ? CCopyWorker::Phase::Delete : CCopyWorker::Phase::Copy,
        plan.sourceHeader, from, to, plan.dropZeroRecords);
    worker->start();
    workers.push_back(worker);
  }
  for (const auto& worker : workers) {
    while (!worker->waitFinished(kProgressPollMs)) {
      if (progress != nullptr) progress->update(work->getBytesDone());
    }
    // Joined, so that no thread outlives the objects it uses.
    worker->stop(true);
  }
  const std::vector<std::string> failures = work->takeFailures();
  if (!failures.empty()) {
    std::string sentence = failures.front();
    if (failures.size() > 1)
      sentence += " (and " + std::to_string(failures.size() - 1) + " more failures)";
    throw COperationError(destination, sentence);
  }
}

void CDiskCopier::finishDisk(const CCopyPlan::Disk& disk) {
  bool right = false;
  try {
    disk.header.store(fs.get(), disk.destination);
    CFleckDiskLink::write(fs.get(), disk.destination, CFleckDisk::getParentLinkFileName(),
                          disk.parentLink);
    CFleckDiskLink::write(fs.get(), disk.destination, CFleckDisk::getChildLinkFileName(),
                          disk.childLink);
    CFleckDiskHeader back;
    back.load(fs.get(), disk.destination);
    right = CCopyPlan::sameHeader(back, disk.header) &&
            linkReadsBack(fs.get(), disk.destination, CFleckDisk::getParentLinkFileName(),
                          disk.parentLink) &&
            linkReadsBack(fs.get(), disk.destination, CFleckDisk::getChildLinkFileName(),
                          disk.childLink);
  } catch (const zel::CError& e) {
    throw COperationError(disk.destination,
                          "cannot write the header and links: " + COperationError::describe(e));
  }
  if (!right) throw COperationError(disk.destination, "the header or a link file reads back wrong");
}

}  // namespace fleck::ops
