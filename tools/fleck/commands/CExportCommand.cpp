#include "CExportCommand.h"

#include <unistd.h>

#include <cstdio>

#include "CCliError.h"
#include "CSizes.h"
#include "fleck/ops/CDiskAccess.h"
#include "fleck/ops/CExporter.h"
#include "fleck/ops/COutputFile.h"

namespace fleck::cli {

void CExportCommand::attach(CCommandLine& commandLine) {
  command = &commandLine.addSubcommand("export", "Read a disk into a file or standard output");
  command->addArgument("DIR", folder, "The disk's folder").required();
  command->addArgument("OUT", output, "The output file, or - for standard output (the default)");
  command->addOption("--offset", offset, "Start at this byte of the disk (size suffixes allowed)")
      .showDefault()
      .typeName("N");
  command->addOption("--length", length, "Export this many bytes (default: to the disk's end)")
      .typeName("N");
  addThreadsOption("Threads that read, decrypt and decompress flecks ahead of the output");
  addPasswordOption();
  addProgressOptions();
  command->setFooter(
      "A regular output file is written sparse: where the disk reads zeros, the file gets\n"
      "holes. Standard output that is a terminal is refused.\n\n"
      "Examples:\n"
      "  fleck export /backup/pc restored.img\n"
      "  fleck export /backup/pc-monday - | gzip > monday.img.gz\n"
      "  fleck export /backup/pc part.img --offset 1M --length 64M --threads 4");
}

int CExportCommand::run() {
  passwords.setPasswordFile(passwordFile);
  std::int64_t start = CSizes::parse(offset, "--offset");
  if (start < 0) throw CCliError::usage("--offset: must not be negative");
  std::int64_t count = -1;
  if (!length.empty()) {
    count = CSizes::parse(length, "--length");
    if (count < 0) throw CCliError::usage("--length: must not be negative");
  }
  if ((output.empty() || output == "-") && ::isatty(STDOUT_FILENO)) {
    throw CCliError::usage("standard output is a terminal: give an output file, or redirect it");
  }

  zel::P<zel::IFileSystem> fs = makeFileSystem(1);
  ops::CDiskAccess access(fs);
  const zel::CURI location = ops::CDiskAccess::folderOf(folder);
  zel::P<CFleckDisk> disk = access.open(location, passwords, zel::IIOStream::AccessRead, 1);
  const std::int64_t size = disk->getSize();
  if (start > size) {
    throw CCliError::usage(zel::String::fromUTF8("--offset: " + std::to_string(start) +
                                                 " is past the disk's end (" +
                                                 std::to_string(size) + " bytes)"));
  }
  if (count < 0) count = size - start;
  if (count > size - start) {
    throw CCliError::usage(
        zel::String::fromUTF8("--offset/--length: the range ends past the disk's end (" +
                              std::to_string(size) + " bytes)"));
  }
  ops::COutputFile out(output);
  CProgress progress(progressMode(), "export", count);
  ops::CExporter exporter(fs, disk, readThreadsFor(location));
  const ops::CExporter::Stats stats = exporter.run(start, count, out, progress, false);
  if (!quiet) {
    // Standard output may carry the image: the summary goes to standard error.
    std::fprintf(stderr, "exported %s of %s to %s in %.2f s (%s MB/s)",
                 CSizes::format(stats.bytes).c_str(), ops::CDiskAccess::show(location).c_str(),
                 out.describe().c_str(), stats.seconds,
                 CSizes::formatRate(stats.bytes, stats.seconds).c_str());
    if (out.isSparse())
      std::fprintf(stderr, ", %s left as holes", CSizes::format(stats.sparseBytes).c_str());
    std::fprintf(stderr, "\n");
  }
  return kExitOk;
}

}  // namespace fleck::cli
