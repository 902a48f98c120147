#include "fleck/ops/CVerifier.h"

#include "fleck/CFleckDataPreparer.h"
#include "fleck/CFleckDisk.h"
#include "fleck/ops/CFleckTree.h"
#include "fleck/ops/COperationError.h"
#include "fleck/ops/CVerifyWorker.h"

namespace fleck::ops {

namespace {

constexpr int kProgressPollMs = 100;

}  // namespace

bool CVerifier::Report::foundDamage() const {
  if (headerUnusable || !childLinkProblem.empty() || !damagedFlecks.empty() || !blocked.empty())
    return true;
  for (const CMetadataChecker::File& file : metadata) {
    if (file.isDamaged()) return true;
  }
  return false;
}

CVerifier::CVerifier(zel::P<zel::IFileSystem> fs, int threads)
    : fs(std::move(fs)), threads(std::max(threads, 1)) {}

CVerifier::Report CVerifier::run(const zel::CURI& folder, IPasswordSource& passwords,
                                 bool repairMetadata, IProgress& progress) {
  Report report;
  CDiskAccess access(fs);
  CMetadataChecker checker(fs);
  if (!fs->folderExists(folder)) access.loadHeader(folder);  // throws its "no such folder"
  report.metadata = checker.checkAll(folder);
  const CMetadataChecker::File& header = report.metadata.front();
  if (header.isAbsent()) access.loadHeader(folder);  // throws "not a fleck disk"
  if (repairMetadata) {
    for (const CMetadataChecker::File& file : report.metadata) {
      if (file.isDamaged()) report.repairedCopies += checker.repair(file);
    }
  }
  // The child link (checked last) is followed only when a copy is intact; a damaged
  // one is reported as such already.
  if (report.metadata.back().intactCopy() >= 0) {
    try {
      report.childLinkProblem = CFleckDisk::findChildLinkProblem(fs.get(), folder).toUTF8();
    } catch (const zel::CError& e) {
      report.childLinkProblem =
          "the child's parent link cannot be read: " + COperationError::describe(e);
    }
  }
  if (header.intactCopy() < 0) {
    report.headerUnusable = true;
    return report;
  }

  zel::P<CFleckDisk> disk = access.open(folder, passwords, zel::IIOStream::AccessRead, 1);
  CFleckTree tree(fs, disk->getHeader());
  auto work = zel::make<CVerifyWork>(tree.list(folder, &report.strays, &report.blocked));
  report.fleckFiles = static_cast<std::int64_t>(work->getFileCount());
  report.fleckBytes = work->getTotalBytes();

  const std::int64_t fleckSize = disk->getFleckSize();
  std::vector<zel::P<CVerifyWorker>> workers;
  for (int i = 0; i < threads; ++i) {
    auto worker = zel::make<CVerifyWorker>(fs, work, disk->createDataPreparer(), fleckSize);
    worker->start();
    workers.push_back(worker);
  }
  progress.start(work->getTotalBytes());
  for (const auto& worker : workers) {
    while (!worker->waitFinished(kProgressPollMs))
      progress.update(work->getBytesDone());
    // Joined, not only finished: the thread may still be dropping its objects, and
    // none may outlive the process's exit handlers.
    worker->stop(true);
  }
  progress.finish(work->getBytesDone());
  report.damagedFlecks = work->takeDamage();
  return report;
}

}  // namespace fleck::ops
