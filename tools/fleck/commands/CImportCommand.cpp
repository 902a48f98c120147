#include "CImportCommand.h"

#include <cstdio>

#include "CCliError.h"
#include "CSizes.h"
#include "fleck/ops/CDiskAccess.h"
#include "fleck/ops/CFileImageSource.h"
#include "fleck/ops/CImporter.h"

namespace fleck::cli {

void CImportCommand::attach(CCommandLine& commandLine) {
  command =
      &commandLine.addSubcommand("import", "Write an image file or standard input into a disk");
  command->addArgument("DIR", folder, "The disk's folder").required();
  command->addArgument("IMAGE", image, "The image file, or - for standard input").required();
  addThreadsOption("Threads that compress and encrypt flecks");
  command->addFlag("-i,--incremental", incremental,
                   "Skip flecks whose content the disk reads there already (decided from the "
                   "payload digest in each stored record's head, without decrypting)");
  command->addFlag("--no-sync", noSync,
                   "Do not sync the file system at the end (faster; the data may be lost if "
                   "the machine fails soon after)");
  addPasswordOption();
  addProgressOptions();
  command->setFooter(
      "All-zero flecks are not stored; they read as zeros (also on a disk with parents,\n"
      "where a record of zeros is stored over a parent's data). Flecks past the image's end\n"
      "keep their contents. An image larger than the disk is refused.\n\n"
      "Examples:\n"
      "  fleck import /backup/pc /dev/sda\n"
      "  fleck import /backup/pc disk.img --threads 4 --incremental\n"
      "  zcat disk.img.gz | fleck import /backup/pc - --progress plain");
}

int CImportCommand::run() {
  passwords.setPasswordFile(passwordFile);
  zel::P<zel::IFileSystem> fs = makeFileSystem(threads + 1);
  ops::CDiskAccess access(fs);
  const zel::CURI location = ops::CDiskAccess::folderOf(folder);
  ops::CFileImageSource source(image);
  zel::P<CFleckDisk> disk =
      access.open(location, passwords, zel::IIOStream::AccessReadWrite, 2 * threads);
  ops::CImporter::Options options;
  options.threads = threads;
  options.incremental = incremental;
  options.sync = !noSync;
  CProgress progress(progressMode(), "import", source.getSize());
  ops::CImporter importer(fs, disk, options);
  const ops::CImporter::Stats stats = importer.run(source, progress);
  if (!quiet) {
    std::printf(
        "imported %s into %s in %.2f s (%s MB/s): %lld flecks, %lld stored, %lld all-zero not "
        "stored",
        CSizes::format(stats.bytes).c_str(), ops::CDiskAccess::show(location).c_str(),
        stats.seconds, CSizes::formatRate(stats.bytes, stats.seconds).c_str(),
        static_cast<long long>(stats.flecks), static_cast<long long>(stats.stored),
        static_cast<long long>(stats.zeroSkipped + stats.removed));
    if (stats.removed > 0)
      std::printf(" (%lld files removed)", static_cast<long long>(stats.removed));
    if (stats.zeroStored > 0)
      std::printf(", %lld zero records over parent data", static_cast<long long>(stats.zeroStored));
    if (incremental) std::printf(", %lld unchanged", static_cast<long long>(stats.unchanged));
    std::printf("\n");
  }
  return kExitOk;
}

}  // namespace fleck::cli
