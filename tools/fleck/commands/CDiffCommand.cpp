#include "CDiffCommand.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "CCliError.h"
#include "CSizes.h"
#include "fleck/ops/CDiskAccess.h"
#include "fleck/ops/CDiskDiff.h"

namespace fleck::cli {

void CDiffCommand::attach(CCommandLine& commandLine) {
  command = &commandLine.addSubcommand(
      "diff", "List the byte ranges in which two disks differ, without a password");
  command->addArgument("A", first, "The first disk's folder").required();
  command->addArgument("B", second, "The second disk's folder").required();
  command->addFlag("--json", json, "Print one JSON object instead of text");
  // Each fleck costs a small read per disk: a couple of threads suffice locally, while
  // object storage wants more requests in flight.
  threads = 2;
  threadsOption = command
                      ->addOption("-t,--threads", threads,
                                  "Threads that read fleck files (default: 2, or 8 when a "
                                  "disk is on s3://)")
                      .range(1, 256)
                      .typeName("N");
  addProgressOptions();
  command->setFooter(
      "Compares the payload digests kept unencrypted at the start of each fleck file, so\n"
      "nothing is decrypted and no password is needed. Flecks that both disks read from one\n"
      "file (a shared parent's) are not read at all. Each line is OFFSET LENGTH in bytes,\n"
      "whole flecks, adjacent ones merged. Disks of different sizes are compared up to the\n"
      "smaller size; the rest of the larger one is listed as one differing range. Both\n"
      "disks must have the same fleck size.\n"
      "Exit status: 0 whether or not the disks differ, 1 the comparison failed.\n\n"
      "Examples:\n"
      "  fleck diff /backup/pc-monday /backup/pc\n"
      "  fleck diff /backup/pc-monday /backup/pc-tuesday --json | jq .differing_bytes");
}

int CDiffCommand::run() {
  const zel::CURI a = ops::CDiskAccess::folderOf(first);
  const zel::CURI b = ops::CDiskAccess::folderOf(second);
  constexpr int kObjectStoreThreads = 8;
  const bool remote = a.getScheme() == L"s3" || b.getScheme() == L"s3";
  ops::CDiskDiff diff(makeFileSystem(1),
                      threadsOption.wasGiven() || !remote ? threads : kObjectStoreThreads);
  ops::CDiskDiff::Result result;
  {
    CProgress progress(progressMode(),
                       "diff " + ops::CDiskAccess::show(a) + " " + ops::CDiskAccess::show(b), -1);
    result = diff.compare(a, b, &progress);
  }

  if (json) {
    nlohmann::ordered_json out;
    out["a"] = ops::CDiskAccess::show(a);
    out["b"] = ops::CDiskAccess::show(b);
    out["fleck_size"] = result.fleckSize;
    out["disk_size"] = std::max(result.sizeA, result.sizeB);
    out["disk_size_a"] = result.sizeA;
    out["disk_size_b"] = result.sizeB;
    out["ranges"] = nlohmann::ordered_json::array();
    for (const ops::CDiskDiff::Range& range : result.ranges)
      out["ranges"].push_back({{"offset", range.offset}, {"length", range.length}});
    out["differing_bytes"] = result.differingBytes;
    out["differing_flecks"] = result.differingFlecks;
    out["compared_flecks"] = result.comparedFlecks;
    out["shared_flecks"] = result.sharedFlecks;
    out["heads_read"] = result.headsRead;
    printJson(out);
    return kExitOk;
  }

  for (const ops::CDiskDiff::Range& range : result.ranges) {
    std::printf("%lld %lld  (at %s, %s)\n", static_cast<long long>(range.offset),
                static_cast<long long>(range.length), CSizes::format(range.offset).c_str(),
                CSizes::format(range.length).c_str());
  }
  if (!quiet) {
    std::printf(
        "%zu range%s, %s (%lld bytes) differ; %lld flecks compared by digest, %lld "
        "shared, %lld heads read\n",
        result.ranges.size(), result.ranges.size() == 1 ? "" : "s",
        CSizes::format(result.differingBytes).c_str(),
        static_cast<long long>(result.differingBytes),
        static_cast<long long>(result.comparedFlecks), static_cast<long long>(result.sharedFlecks),
        static_cast<long long>(result.headsRead));
  }
  return kExitOk;
}

}  // namespace fleck::cli
