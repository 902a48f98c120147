#include "CDemoCommand.h"

#include <stdlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "CCliError.h"
#include "CGeneratedImageSource.h"
#include "CSizes.h"
#include "fleck/CFleckDisk.h"
#include "fleck/Version.h"
#include "fleck/ops/CDiskAccess.h"
#include "fleck/ops/CExporter.h"
#include "fleck/ops/CFleckTree.h"
#include "fleck/ops/CImporter.h"
#include "fleck/ops/COutputFile.h"
#include "zel/CTime.h"

namespace fleck::cli {

namespace {

constexpr const char* kPassword = "fleck demo password";
constexpr std::uint64_t kSeed = 1;

double secondsSince(zel::CTime start) {
  return (zel::CTime::now() - start).getSeconds();
}

std::int64_t storedBytes(zel::IFileSystem* fs, const CFleckDiskHeader& header,
                         const zel::CURI& folder) {
  std::int64_t total = 0;
  for (const ops::CFleckTree::Entry& entry : ops::CFleckTree(fs, header).list(folder, nullptr))
    total += entry.size;
  return total;
}

void row(const std::string& step, const std::string& data, double seconds, const std::string& rate,
         const std::string& result) {
  char time[32];
  std::snprintf(time, sizeof(time), "%.2f s", seconds);
  std::printf("  %-30s %11s %9s %8s  %s\n", step.c_str(), data.c_str(), time, rate.c_str(),
              result.c_str());
}

// Removes the demo's folder when the demo ends, however it ends.
class FolderRemover {
 public:
  FolderRemover(std::string path, bool keep) : path(std::move(path)), keep(keep) {}
  ~FolderRemover() {
    if (keep) return;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  FolderRemover(const FolderRemover&) = delete;
  FolderRemover& operator=(const FolderRemover&) = delete;

 private:
  std::string path;
  bool keep;
};

}  // namespace

void CDemoCommand::attach(CCommandLine& commandLine) {
  command = &commandLine.addSubcommand("demo", "Show what fleck does, on a generated disk image");
  command->addOption("--size", size, "The generated image's size").showDefault().typeName("SIZE");
  command
      ->addOption("--dir", dir, "Work in a new folder inside DIR (default: the temporary folder)")
      .typeName("DIR");
  command->addFlag("--keep", keep, "Keep the demo's folder (its path is printed)");
  addThreadsOption("Threads for import and export");
  command->setFooter(
      "The image is generated (zero regions, compressible and random data); the demo makes an\n"
      "encrypted disk, imports the image, makes a linked child (a snapshot), imports a changed\n"
      "image incrementally into the parent, exports both disks and checks their SHA-256\n"
      "against the two images. The password is fixed: \"fleck demo password\".\n\n"
      "Examples:\n"
      "  fleck demo\n"
      "  fleck demo --size 1G --threads 2 --keep");
}

int CDemoCommand::run() {
  const std::int64_t imageSize = CSizes::parse(size, "--size");
  if (imageSize <= 0) throw CCliError::usage("--size: must be more than 0");
  std::string root =
      (std::filesystem::path(dir.empty() ? std::filesystem::temp_directory_path().string() : dir) /
       "fleck-demo-XXXXXX")
          .string();
  if (::mkdtemp(root.data()) == nullptr) {
    throw CCliError::failure(
        zel::String::fromUTF8("cannot make a folder " + root + ": " + std::strerror(errno)));
  }
  FolderRemover remover(root, keep);

  zel::P<zel::IFileSystem> fs = makeFileSystem(threads + 1);
  const zel::CURI base = ops::CDiskAccess::folderOf(root);
  const zel::CURI diskFolder = base << "disk";
  const zel::CURI snapshotFolder = base << "snapshot";
  const zel::String password = kPassword;

  std::printf("fleck %s demo: a %s generated disk image, %d thread%s, in %s\n\n",
              getLibraryVersion().toUTF8().c_str(), CSizes::format(imageSize).c_str(), threads,
              threads == 1 ? "" : "s", root.c_str());
  std::printf("  %-30s %11s %9s %8s  %s\n", "step", "data", "time", "MB/s", "result");

  zel::CTime start = zel::CTime::now();
  CFleckDisk::create(fs, diskFolder, imageSize, 1, password, "lz4", -1);
  row("create encrypted disk", "", secondsSince(start), "", "aes256cbc, lz4, flecks of 512 KiB");

  ops::CImporter::Options options;
  options.threads = threads;
  // The demo's folder is removed at the end: syncing it to the storage is wasted time.
  options.sync = false;
  CProgress quietProgress(CProgress::Off, "", -1);

  CGeneratedImageSource original(imageSize, kSeed, 0);
  ops::CImporter::Stats first;
  {
    auto disk = zel::make<CFleckDisk>(fs, diskFolder, password, zel::IIOStream::AccessReadWrite,
                                      2 * threads);
    first = ops::CImporter(fs, disk, options).run(original, quietProgress);
  }
  const std::string originalDigest = original.finishDigest();
  CFleckDiskHeader header;
  header.load(fs, diskFolder);
  const std::int64_t firstStoredBytes = storedBytes(fs, header, diskFolder);
  row("import image", CSizes::format(first.bytes), first.seconds,
      CSizes::formatRate(first.bytes, first.seconds),
      std::to_string(first.stored) + " flecks stored, " + std::to_string(first.zeroSkipped) +
          " all-zero skipped");

  start = zel::CTime::now();
  CFleckDisk::createChild(fs, snapshotFolder, diskFolder, CFleckDisk::ChildLinked);
  row("make a snapshot (linked child)", "", secondsSince(start), "",
      "keeps the disk's flecks as they were");

  CGeneratedImageSource changed(imageSize, kSeed, 1);
  ops::CImporter::Stats second;
  options.incremental = true;
  {
    auto disk = zel::make<CFleckDisk>(fs, diskFolder, password, zel::IIOStream::AccessReadWrite,
                                      2 * threads);
    second = ops::CImporter(fs, disk, options).run(changed, quietProgress);
  }
  const std::string changedDigest = changed.finishDigest();
  row("import changed image (incr.)", CSizes::format(second.bytes), second.seconds,
      CSizes::formatRate(second.bytes, second.seconds),
      std::to_string(second.stored + second.removed) + " flecks changed, " +
          std::to_string(second.unchanged) + " unchanged");

  struct Export {
    const char* step;
    zel::CURI folder;
    const char* file;
    const std::string& expected;
    const char* expectedName;
  };
  const Export exports[] = {
      {"export disk", diskFolder, "disk.img", changedDigest, "the changed image"},
      {"export snapshot", snapshotFolder, "snapshot.img", originalDigest, "the original image"},
  };
  bool allMatch = true;
  for (const Export& e : exports) {
    auto disk = zel::make<CFleckDisk>(fs, e.folder, password, zel::IIOStream::AccessRead, 1);
    ops::COutputFile out(root + "/" + e.file);
    const ops::CExporter::Stats stats =
        ops::CExporter(fs, disk, threads).run(0, disk->getSize(), out, quietProgress, true);
    const bool match = stats.sha256 == e.expected;
    allMatch = allMatch && match;
    row(e.step, CSizes::format(stats.bytes), stats.seconds,
        CSizes::formatRate(stats.bytes, stats.seconds),
        std::string("sha256 ") + (match ? "matches " : "DIFFERS FROM ") + e.expectedName);
  }

  const std::int64_t diskBytes = storedBytes(fs, header, diskFolder);
  const std::int64_t snapshotBytes = storedBytes(fs, header, snapshotFolder);
  const std::int64_t nonZero = first.stored * header.getFleckSize();
  std::printf("\n  image        %s, %lld of %lld flecks all zeros (not stored)\n",
              CSizes::format(imageSize).c_str(), static_cast<long long>(first.zeroSkipped),
              static_cast<long long>(first.flecks));
  std::printf("  stored       disk %s, snapshot %s (only the flecks that changed since)\n",
              CSizes::format(diskBytes).c_str(), CSizes::format(snapshotBytes).c_str());
  std::printf(
      "  ratio        %.3f after the first import (%s stored for %s of non-zero flecks)\n",
      nonZero > 0 ? static_cast<double>(firstStoredBytes) / static_cast<double>(nonZero) : 0.0,
      CSizes::format(firstStoredBytes).c_str(), CSizes::format(nonZero).c_str());
  if (keep) std::printf("  kept         %s\n", root.c_str());
  if (!allMatch) throw CCliError::failure("demo: an export does not match its image");
  std::printf("\n  both exports match their images\n");
  return kExitOk;
}

}  // namespace fleck::cli
