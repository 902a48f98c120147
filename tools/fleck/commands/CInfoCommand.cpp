#include "CInfoCommand.h"

#include <CLI/CLI.hpp>
#include <cstdio>

#include "CCliError.h"
#include "CJsonWriter.h"
#include "CSizes.h"
#include "fleck/ops/CDiskAccess.h"
#include "fleck/ops/CFleckTree.h"

namespace fleck::cli {

namespace {

std::string hex(const zel::TBuffer<unsigned char>& bytes) {
  return zel::toHex(bytes.getData(), bytes.getUsed());
}

}  // namespace

void CInfoCommand::attach(CLI::App& app) {
  command = app.add_subcommand("info", "Show a disk's header, its chain and what it stores");
  command->add_option("DIR", folder, "The disk's folder")->required();
  command->add_flag("--json", json, "Print one JSON object instead of text");
  command->footer(
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
    CJsonWriter out;
    out.beginObject();
    out.key("disk").value(ops::CDiskAccess::show(location));
    out.key("version").value(header.getVersion());
    out.key("min_reader_version").value(header.getMinReaderVersion());
    out.key("min_writer_version").value(header.getMinWriterVersion());
    out.key("disk_size").value(header.getDiskSize());
    out.key("fleck_size").value(fleckSize);
    out.key("flecks").value(diskFlecks);
    out.key("payload_block_size").value(header.getPayloadBlockSize());
    out.key("compressor").value(header.getCompressID().toUTF8());
    out.key("encrypted").value(encrypted);
    out.key("cipher").value(header.getCipherID().toUTF8());
    out.key("record_digest").value(header.getCheckSumHashID().toUTF8());
    out.key("key_hash_digest").value(header.getCryptoHashID().toUTF8());
    out.key("key_deriver").value(header.getCipherKeyDeriverID().toUTF8());
    out.key("key_iterations").value(header.getCipherKeyDerivationIterations());
    out.key("key_salt").value(hex(header.getCipherKeyDerivationSalt()));
    out.key("parents").beginArray();
    for (const zel::CURI& parent : parents)
      out.value(ops::CDiskAccess::show(parent));
    out.endArray();
    out.key("child");
    if (children.empty()) {
      out.null();
    } else {
      out.value(ops::CDiskAccess::show(children.front()));
    }
    out.key("children").beginArray();
    for (const zel::CURI& child : children)
      out.value(ops::CDiskAccess::show(child));
    out.endArray();
    out.key("stored_flecks").value(fleckCount);
    out.key("stored_bytes").value(storedBytes);
    out.key("ratio").value(ratio);
    out.key("stray_files").value(static_cast<std::int64_t>(strays.size()));
    out.endObject();
    std::fputs(out.text().c_str(), stdout);
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
