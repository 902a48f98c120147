#include "CVerifyCommand.h"

#include <cstdio>

#include "CCliError.h"
#include "CSizes.h"
#include "fleck/ops/CDiskAccess.h"

namespace fleck::cli {

void CVerifyCommand::attach(CCommandLine& commandLine) {
  command = &commandLine.addSubcommand(
      "verify", "Check a disk's metadata and fleck files; list what is damaged");
  command->addArgument("DIR", folder, "The disk's folder").required();
  command->addFlag("--chain", chain,
                   "Check every disk of the chain: the parents and the children too");
  command->addFlag("--repair-metadata", repairMetadata,
                   "Rewrite a damaged copy of a metadata file (disk.fleckdisk, parent.flecklnk, "
                   "child.flecklnk) from its intact copy");
  addThreadsOption("Threads that read and check fleck files");
  addPasswordOption();
  addProgressOptions();
  command->setFooter(
      "Every metadata file has two copies (the second in fallback/), each checked for its\n"
      "size and MD5 digest. Every fleck file is read and checked: record digest, decryption,\n"
      "decompression, payload digest; encrypted disks need the password for that.\n"
      "Exit status: 0 all intact, 3 damage found (also when it was repaired), 1 the check\n"
      "could not run.\n\n"
      "Examples:\n"
      "  fleck verify /backup/pc\n"
      "  fleck verify /backup/pc-monday --chain --threads 4\n"
      "  fleck verify /backup/pc --repair-metadata");
}

void CVerifyCommand::print(const zel::CURI& location, const ops::CVerifier::Report& report) const {
  const std::string shown = ops::CDiskAccess::show(location);
  std::printf("%s\n", shown.c_str());
  int damagedMetadata = 0;
  for (const ops::CMetadataChecker::File& file : report.metadata) {
    if (!file.isDamaged()) continue;
    ++damagedMetadata;
    for (const ops::CMetadataChecker::Copy& copy : file.copies) {
      if (copy.state == ops::CMetadataChecker::State::Intact) continue;
      std::printf("  DAMAGED metadata %s: %s %s\n", file.name.toUTF8().c_str(),
                  ops::CDiskAccess::show(copy.file).c_str(),
                  ops::CMetadataChecker::describe(copy).c_str());
    }
  }
  if (!report.childLinkProblem.empty()) {
    ++damagedMetadata;
    std::printf("  DAMAGED child link: %s\n", report.childLinkProblem.c_str());
  }
  if (report.repairedCopies > 0) {
    std::printf("  repaired %d metadata cop%s from the intact cop%s\n", report.repairedCopies,
                report.repairedCopies == 1 ? "y" : "ies", report.repairedCopies == 1 ? "y" : "ies");
  }
  if (report.headerUnusable) {
    std::printf("  no intact copy of the header: the fleck files cannot be checked\n");
  }
  for (const ops::CVerifyWork::Damage& damage : report.damagedFlecks) {
    std::printf("  DAMAGED fleck %lld: %s: %s\n", static_cast<long long>(damage.index),
                ops::CDiskAccess::show(damage.file).c_str(), damage.problem.c_str());
  }
  for (const zel::CURI& entry : report.blocked) {
    std::printf("  DAMAGED fleck tree: %s: a %s where the tree needs a %s\n",
                ops::CDiskAccess::show(entry).c_str(),
                entry.toString(false).endsWith(L".fleck") ? "folder" : "file",
                entry.toString(false).endsWith(L".fleck") ? "fleck file" : "folder");
  }
  for (const zel::CURI& stray : report.strays) {
    std::printf("  note: not a fleck file: %s\n", ops::CDiskAccess::show(stray).c_str());
  }
  if (!quiet) {
    std::printf("  checked %d metadata files and %lld fleck files (%s): %s\n",
                static_cast<int>(report.metadata.size()), static_cast<long long>(report.fleckFiles),
                CSizes::format(report.fleckBytes).c_str(),
                report.foundDamage()
                    ? (std::to_string(damagedMetadata) + " metadata file(s) and " +
                       std::to_string(report.damagedFlecks.size() + report.blocked.size()) +
                       " fleck file(s) damaged")
                          .c_str()
                    : "all intact");
  }
}

int CVerifyCommand::run() {
  passwords.setPasswordFile(passwordFile);
  zel::P<zel::IFileSystem> fs = makeFileSystem(1);
  ops::CDiskAccess access(fs);
  const zel::CURI location = ops::CDiskAccess::folderOf(folder);
  std::vector<zel::CURI> parents;
  std::vector<zel::CURI> children;
  if (chain) {
    // Parents first (what the disk reads through), then the children.
    for (const zel::CURI& parent : access.parentsOf(location)) {
      if (fs->folderExists(parent)) parents.push_back(parent);
    }
    children = access.childrenOf(location);
  }
  ops::CVerifier verifier(fs, readThreadsFor(location));
  bool damage = false;
  const auto verify = [&](const zel::CURI& disk) {
    CProgress progress(progressMode(), "verify " + ops::CDiskAccess::show(disk), -1);
    const ops::CVerifier::Report report = verifier.run(disk, passwords, repairMetadata, progress);
    print(disk, report);
    std::fflush(stdout);
    damage = damage || report.foundDamage();
    return report.childLinkProblem.empty();
  };
  bool childLinkLeadsBack = verify(location);
  for (const zel::CURI& parent : parents)
    verify(parent);
  // A child link that does not lead back names a disk outside the chain.
  for (std::size_t i = 0; i < children.size() && childLinkLeadsBack; ++i)
    childLinkLeadsBack = verify(children[i]);
  return damage ? kExitDamage : kExitOk;
}

}  // namespace fleck::cli
