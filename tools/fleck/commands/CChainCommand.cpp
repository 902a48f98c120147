#include "CChainCommand.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "CCliError.h"
#include "CSizes.h"
#include "fleck/ops/CDiskAccess.h"
#include "fleck/ops/CSnapshotChain.h"

namespace fleck::cli {

void CChainCommand::attach(CCommandLine& commandLine) {
  command = &commandLine.addSubcommand(
      "chain", "List the chain a disk belongs to, from the live disk to the oldest snapshot");
  command->addArgument("DIR", folder, "Any disk of the chain").required();
  command->addFlag("--json", json, "Print one JSON object instead of text");
  command->setFooter(
      "For each disk: its folder, the flecks and bytes it stores itself, and what `fleck\n"
      "remove` would free. Removing a snapshot hands the flecks its child lacks to the child,\n"
      "so only the rest is freed; the oldest snapshot frees all it stores. The live disk (the\n"
      "one without a parent) cannot be removed.\n\n"
      "Examples:\n"
      "  fleck chain /backup/pc\n"
      "  fleck chain /backup/pc --json | jq '.disks[].folder'");
}

int CChainCommand::run() {
  const zel::CURI location = ops::CDiskAccess::folderOf(folder);
  const std::vector<ops::CSnapshotChain::Disk> disks =
      ops::CSnapshotChain(makeFileSystem(1)).list(location);
  if (json) {
    nlohmann::ordered_json out;
    out["disk"] = ops::CDiskAccess::show(location);
    out["disks"] = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < disks.size(); ++i) {
      nlohmann::ordered_json disk;
      disk["folder"] = ops::CDiskAccess::show(disks[i].folder);
      disk["role"] = i == 0 ? "live" : i + 1 == disks.size() ? "oldest" : "snapshot";
      disk["stored_flecks"] = disks[i].storedFlecks;
      disk["stored_bytes"] = disks[i].storedBytes;
      disk["frees_bytes"] = disks[i].freedByRemoving < 0
                                ? nlohmann::ordered_json(nullptr)
                                : nlohmann::ordered_json(disks[i].freedByRemoving);
      disk["unfinished"] = disks[i].unfinished;
      out["disks"].push_back(disk);
    }
    printJson(out);
    return kExitOk;
  }
  std::printf("%-3s %-10s %10s %12s %12s  %s\n", "#", "role", "flecks", "stored", "frees",
              "folder");
  for (std::size_t i = 0; i < disks.size(); ++i) {
    const ops::CSnapshotChain::Disk& disk = disks[i];
    const char* role = i == 0 ? "live" : i + 1 == disks.size() ? "oldest" : "snapshot";
    std::printf("%-3zu %-10s %10lld %12s %12s  %s%s\n", i, role,
                static_cast<long long>(disk.storedFlecks), CSizes::format(disk.storedBytes).c_str(),
                disk.freedByRemoving < 0 ? "-" : CSizes::format(disk.freedByRemoving).c_str(),
                ops::CDiskAccess::show(disk.folder).c_str(),
                disk.unfinished ? " (unfinished: run the interrupted operation again)" : "");
  }
  return kExitOk;
}

}  // namespace fleck::cli
