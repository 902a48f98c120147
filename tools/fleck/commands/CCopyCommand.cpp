#include "CCopyCommand.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "CCliError.h"
#include "CSizes.h"
#include "fleck/ops/CDiskAccess.h"
#include "fleck/ops/CDiskCopier.h"

namespace fleck::cli {

void CCopyCommand::attach(CCommandLine& commandLine) {
  command = &commandLine.addSubcommand(
      "copy", "Copy a disk, or its whole chain, to another folder (local or s3://)");
  command->addArgument("SRC", source, "The disk's folder").required();
  command
      ->addArgument("DST", destination,
                    "The copy's folder; with --chain the folder that gets one subfolder per disk")
      .required();
  command->addFlag("--chain", chain,
                   "Copy the whole chain (the parents, the disk and its children) as it is");
  command->addFlag("--new-password", newPassword,
                   "Encrypt the copy with a new password (and a new salt); the source's "
                   "password is needed when it is encrypted");
  command
      ->addOption("--new-password-file", newPasswordFile,
                  "Read the new password from the first line of FILE (else from the environment "
                  "variable FLECK_NEW_PASSWORD, else it is asked for twice on the terminal); "
                  "implies --new-password")
      .typeName("FILE");
  addThreadsOption("Threads that read, compare and store fleck files");
  command->addFlag("--json", json, "Print the summary as one JSON object");
  addPasswordOption();
  addProgressOptions();
  command->setFooter(
      "Without --chain the copy is one standalone disk that reads what SRC reads (its own\n"
      "flecks and those it reads from its parents). With --chain every disk of the chain\n"
      "becomes a subfolder of DST named as its folder, linked relative to the others.\n"
      "Records are copied as they are, unless --new-password encrypts them again.\n"
      "Copying again into the same DST writes only the files that changed and deletes\n"
      "those the source no longer has. Every file written is read back and checked. An\n"
      "interrupted copy leaves DST refusing to open until the copy is run again.\n\n"
      "Examples:\n"
      "  fleck copy /backup/pc-monday /mnt/usb/pc-monday\n"
      "  fleck copy --chain /backup/pc s3://bucket/backups --threads 16\n"
      "  fleck copy /backup/pc /backup/pc-rekeyed --new-password --json");
}

int CCopyCommand::run() {
  passwords.setPasswordFile(passwordFile);
  const zel::CURI from = ops::CDiskAccess::folderOf(source);
  const zel::CURI to = ops::CDiskAccess::folderOf(destination);
  ops::CDiskCopier::Options options;
  options.chain = chain;
  // Object stores keep more files in flight, on either side.
  options.threads = std::max(readThreadsFor(from), readThreadsFor(to));
  options.reencrypt = newPassword || !newPasswordFile.empty();
  CPasswordSource newPasswords;
  if (options.reencrypt) {
    newPasswords.setOrigin("--new-password-file", "FLECK_NEW_PASSWORD");
    newPasswords.setPasswordFile(newPasswordFile);
    options.newPassword = newPasswords.forNewDisk(ops::CDiskAccess::show(to));
  }
  zel::P<zel::IFileSystem> fs = makeFileSystem(options.threads + 1);
  CProgress progress(progressMode(), "copy", -1);
  ops::CDiskCopier copier(fs, options);
  const ops::CDiskCopier::Stats stats = copier.run(from, to, passwords, progress);
  if (json) {
    nlohmann::ordered_json out;
    out["source"] = ops::CDiskAccess::show(from);
    out["destination"] = ops::CDiskAccess::show(to);
    out["disks"] = stats.disks;
    out["copied"] = stats.copied;
    out["skipped"] = stats.skipped;
    out["moved"] = stats.moved;
    out["deleted"] = stats.deleted;
    out["zero_records_dropped"] = stats.dropped;
    out["bytes_written"] = stats.bytesWritten;
    out["bytes_read"] = stats.bytesRead;
    out["seconds"] = stats.seconds;
    printJson(out);
  } else if (!quiet) {
    std::printf(
        "copied %s to %s in %.2f s: %lld disk%s, %lld fleck files copied, %lld unchanged, "
        "%lld deleted",
        ops::CDiskAccess::show(from).c_str(), ops::CDiskAccess::show(to).c_str(), stats.seconds,
        static_cast<long long>(stats.disks), stats.disks == 1 ? "" : "s",
        static_cast<long long>(stats.copied), static_cast<long long>(stats.skipped),
        static_cast<long long>(stats.deleted));
    if (stats.moved > 0)
      std::printf(" (%lld of them moved from another disk)", static_cast<long long>(stats.moved));
    if (stats.dropped > 0)
      std::printf(", %lld zero records dropped", static_cast<long long>(stats.dropped));
    std::printf("; %s written, %s read\n", CSizes::format(stats.bytesWritten).c_str(),
                CSizes::format(stats.bytesRead).c_str());
  }
  return kExitOk;
}

}  // namespace fleck::cli
