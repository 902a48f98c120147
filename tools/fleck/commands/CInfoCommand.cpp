#include "CInfoCommand.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "CCliError.h"
#include "CSizes.h"
#include "fleck/ops/CDiskAccess.h"
#include "fleck/ops/CFleckTree.h"

namespace fleck::cli {

namespace {

std::string hex(const zel::TBuffer<unsigned char>& bytes) {
  return zel::toHex(bytes.getData(), bytes.getUsed());
}

// Six significant digits keep the ratio short (the library would print all 17); a
// whole number stays an integer so that a disk without flecks reads 0, not 0.0.
nlohmann::ordered_json ratioValue(double ratio) {
  if (!std::isfinite(ratio)) return nullptr;
  char text[32];
  std::snprintf(text, sizeof(text), "%.6g", ratio);
  const double rounded = std::strtod(text, nullptr);
  if (rounded == std::trunc(rounded) && std::fabs(rounded) < 1e15)
    return static_cast<std::int64_t>(rounded);
  return rounded;
}

}  // namespace

void CInfoCommand::attach(CCommandLine& commandLine) {
  command =
      &commandLine.addSubcommand("info", "Show a disk's header, its chain and what it stores");
  command->addArgument("DIR", folder, "The disk's folder").required();
  command->addFlag("--json", json, "Print one JSON object instead of text");
  command->setFooter(
      "The ratio is the stored bytes divided by the bytes of the stored flecks (flecks x\n"
      "fleck size); all-zero flecks are not stored and do not count.\n\n"
      "Examples:\n"
      "  fleck info /backup/pc\n"
      "  fleck info /backup/pc --json | jq .stored_bytes");
}

int CInfoCommand::run() {
  zel::P<zel::IFileSystem> fs = makeFileSystem(1);
  ops::CDiskAccess access(fs);
  const zel::CURI location = ops::CDiskAccess::folderOf(folder);
  const CFleckDiskHeader header = access.loadHeader(location);
  const std::vector<zel::CURI> parents = access.parentsOf(location);
  const std::vector<zel::CURI> children = access.childrenOf(location);
  ops::CFleckTree tree(fs, header);
  std::vector<zel::CURI> strays;
  const std::vector<ops::CFleckTree::Entry> flecks = tree.list(location, &strays);
  std::int64_t storedBytes = 0;
  for (const ops::CFleckTree::Entry& entry : flecks)
    storedBytes += entry.size;
  const auto fleckCount = static_cast<std::int64_t>(flecks.size());
  const std::int64_t fleckSize = header.getFleckSize();
  const std::int64_t diskFlecks =
      fleckSize > 0 ? (header.getDiskSize() + fleckSize - 1) / fleckSize : 0;
  const double ratio = fleckCount > 0 ? static_cast<double>(storedBytes) /
                                            static_cast<double>(fleckCount * fleckSize)
                                      : 0.0;
  const bool encrypted = header.getCipherID() != L"null";

  if (json) {
    // ordered_json keeps the keys in the documented order.
    nlohmann::ordered_json out;
    out["disk"] = ops::CDiskAccess::show(location);
    out["version"] = header.getVersion();
    out["min_reader_version"] = header.getMinReaderVersion();
    out["min_writer_version"] = header.getMinWriterVersion();
    out["disk_size"] = header.getDiskSize();
    out["fleck_size"] = fleckSize;
    out["flecks"] = diskFlecks;
    out["payload_block_size"] = header.getPayloadBlockSize();
    out["compressor"] = header.getCompressID().toUTF8();
    out["encrypted"] = encrypted;
    out["cipher"] = header.getCipherID().toUTF8();
    out["record_digest"] = header.getCheckSumHashID().toUTF8();
    out["key_hash_digest"] = header.getCryptoHashID().toUTF8();
    out["key_deriver"] = header.getCipherKeyDeriverID().toUTF8();
    out["key_iterations"] = header.getCipherKeyDerivationIterations();
    out["key_salt"] = hex(header.getCipherKeyDerivationSalt());
    out["parents"] = nlohmann::ordered_json::array();
    for (const zel::CURI& parent : parents)
      out["parents"].push_back(ops::CDiskAccess::show(parent));
    out["child"] = children.empty()
                       ? nlohmann::ordered_json(nullptr)
                       : nlohmann::ordered_json(ops::CDiskAccess::show(children.front()));
    out["children"] = nlohmann::ordered_json::array();
    for (const zel::CURI& child : children)
      out["children"].push_back(ops::CDiskAccess::show(child));
    out["stored_flecks"] = fleckCount;
    out["stored_bytes"] = storedBytes;
    out["ratio"] = ratioValue(ratio);
    out["stray_files"] = static_cast<std::int64_t>(strays.size());
    printJson(out);
    return kExitOk;
  }

  auto line = [](const char* name, const std::string& value) {
    std::printf("%-14s %s\n", name, value.c_str());
  };
  line("disk", ops::CDiskAccess::show(location));
  line("size", CSizes::format(header.getDiskSize()) + " (" + std::to_string(header.getDiskSize()) +
                   " bytes)");
  line("fleck size", CSizes::format(fleckSize) + " (" + std::to_string(fleckSize) + " bytes), " +
                         std::to_string(diskFlecks) + " flecks");
  line("compressor", header.getCompressID().toUTF8());
  if (encrypted) {
    line("encryption", header.getCipherID().toUTF8() + ", key by " +
                           header.getCipherKeyDeriverID().toUTF8() + " (" +
                           std::to_string(header.getCipherKeyDerivationIterations()) +
                           " iterations, salt " + hex(header.getCipherKeyDerivationSalt()) + ")");
  } else {
    line("encryption", "none");
  }
  line("digests", header.getCheckSumHashID().toUTF8() + " (records), " +
                      header.getCryptoHashID().toUTF8() + " (key hash)");
  line("version", std::to_string(header.getVersion()) + " (readers from " +
                      std::to_string(header.getMinReaderVersion()) + ", writers from " +
                      std::to_string(header.getMinWriterVersion()) + ")");
  if (parents.empty()) {
    line("parents", "none");
  } else {
    for (std::size_t i = 0; i < parents.size(); ++i) {
      line(i == 0 ? "parents" : "",
           ops::CDiskAccess::show(parents[i]) + (i == 0 ? " (nearest)" : ""));
    }
  }
  line("child", children.empty() ? "none" : ops::CDiskAccess::show(children.front()));
  for (std::size_t i = 1; i < children.size(); ++i)
    line("", ops::CDiskAccess::show(children[i]) + " (its child)");
  line("stored", std::to_string(fleckCount) + " flecks, " + CSizes::format(storedBytes) + " (" +
                     std::to_string(storedBytes) + " bytes)");
  char ratioText[32];
  std::snprintf(ratioText, sizeof(ratioText), "%.3f", ratio);
  line("ratio", ratioText);
  if (!strays.empty())
    line("stray files", std::to_string(strays.size()) + " (not fleck files; see fleck verify)");
  return kExitOk;
}

}  // namespace fleck::cli
