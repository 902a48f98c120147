#include "CRemoveCommand.h"

#include <cstdio>

#include "CCliError.h"
#include "CSizes.h"
#include "fleck/ops/CDiskAccess.h"
#include "fleck/ops/CSnapshotRemover.h"

namespace fleck::cli {

void CRemoveCommand::attach(CCommandLine& commandLine) {
  command = &commandLine.addSubcommand(
      "remove", "Remove a snapshot from its chain, keeping what every other disk reads");
  command
      ->addArgument("SNAPSHOT", folder,
                    "The snapshot to remove (with --keep-last: any disk of the chain)")
      .required();
  keepLastOption =
      command
          ->addOption("--keep-last", keepLast, "Remove all but the N newest snapshots of the chain")
          .range(0, 1'000'000)
          .typeName("N");
  addThreadsOption("File operations in flight at once");
  addProgressOptions();
  command->setFooter(
      "The oldest snapshot is unlinked and deleted. Any other first hands its child the\n"
      "flecks the child lacks (moved within the store, nothing decrypted), then its parent\n"
      "and its child are linked to each other and the rest is deleted. The live disk (the one\n"
      "without a parent) is never removed. It takes the writer locks of the snapshot, its\n"
      "parent and its child: stop a writer of the live disk (fleck serve, an import) first.\n"
      "Interrupted, it leaves every other disk reading as before and the snapshot refusing to\n"
      "open; running it again finishes the job.\n\n"
      "Examples:\n"
      "  fleck remove /backup/pc-monday\n"
      "  fleck remove /backup/pc --keep-last 7");
}

int CRemoveCommand::run() {
  const zel::CURI location = ops::CDiskAccess::folderOf(folder);
  const int operations = readThreadsFor(location);
  ops::CSnapshotRemover remover(makeFileSystem(std::min(operations, 8)));
  remover.setParallelOperations(operations);
  std::vector<ops::CSnapshotRemover::Result> results;
  {
    CProgress progress(progressMode(), "remove", -1);
    if (keepLastOption.wasGiven()) {
      results = remover.keepLast(location, keepLast, &progress);
    } else {
      results.push_back(remover.remove(location, &progress));
    }
  }
  if (quiet) return kExitOk;
  for (const ops::CSnapshotRemover::Result& result : results) {
    std::printf(
        "removed %s: %lld flecks handed to its child, %lld deleted, %s freed\n",
        ops::CDiskAccess::show(result.folder).c_str(), static_cast<long long>(result.movedFlecks),
        static_cast<long long>(result.deletedFlecks), CSizes::format(result.freedBytes).c_str());
    for (const zel::CURI& entry : result.leftOver) {
      std::printf("  left in place (not part of the disk): %s\n",
                  ops::CDiskAccess::show(entry).c_str());
    }
  }
  if (keepLastOption.wasGiven() && results.empty()) std::printf("nothing to remove\n");
  return kExitOk;
}

}  // namespace fleck::cli
