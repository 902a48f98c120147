#include "CCreateCommand.h"

#include <cstdio>

#include "CCliError.h"
#include "CSizes.h"
#include "fleck/CFleckDataPreparer.h"
#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/ops/CDiskAccess.h"

namespace fleck::cli {

void CCreateCommand::attach(CCommandLine& commandLine) {
  command = &commandLine.addSubcommand("create", "Make a new, empty disk in a folder");
  command->addArgument("DIR", folder, "The disk's folder (made when missing; must not hold a disk)")
      .required();
  command
      ->addOption(
          "-s,--size", size,
          "The disk's size, e.g. 64G (suffixes K, M, G, T or KiB, MiB, GiB, TiB: powers of 1024)")
      .required()
      .typeName("SIZE");
  command
      ->addOption("--fleck-size", fleckSize,
                  "The size of one fleck, the unit of storage (up to 1G)")
      .showDefault()
      .typeName("SIZE");
  command
      ->addOption("-c,--compress", compressor,
                  "The compressor of every fleck: lz4, lz4hc, null, zlib-N (N = 0..9), lzma-N or "
                  "lzma-N-1 (extreme)")
      .showDefault()
      .typeName("ID");
  command->addFlag(
      "-e,--encrypt", encrypt,
      "Encrypt the disk (AES-256) with a key derived from a password; the password "
      "is asked for twice on the terminal unless --password-file or FLECK_PASSWORD gives it");
  addPasswordOption();
  command->setFooter(
      "Examples:\n"
      "  fleck create /backup/pc --size 500G\n"
      "  fleck create /backup/pc --size 500G --fleck-size 1M --compress zlib-6 --encrypt\n"
      "  FLECK_PASSWORD=... fleck create /backup/pc --size 2T --encrypt");
}

int CCreateCommand::run() {
  passwords.setPasswordFile(passwordFile);
  const std::int64_t diskSize = CSizes::parse(size, "--size");
  const std::int64_t fleck = CSizes::parse(fleckSize, "--fleck-size");
  if (diskSize <= 0) {
    throw CCliError::usage(
        zel::String::fromUTF8("--size: the disk size must be more than 0 (got " + size + ")"));
  }
  if (fleck <= 0) {
    throw CCliError::usage(zel::String::fromUTF8(
        "--fleck-size: the fleck size must be more than 0 (got " + fleckSize + ")"));
  }
  if (fleck > CFleckDisk::kMaxFleckSize) {
    throw CCliError::usage(
        zel::String::fromUTF8("--fleck-size: at most 1G (got " + fleckSize + ")"));
  }
  CFleckDiskHeader geometry;
  std::int64_t maxFlecks = 1;
  for (int i = 0; i < geometry.getTreeLevels(); ++i)
    maxFlecks *= geometry.getObjectsPerTreeLevel();
  if ((diskSize + fleck - 1) / fleck > maxFlecks) {
    throw CCliError::usage(zel::String::fromUTF8(
        "--size: a disk has at most " + std::to_string(maxFlecks) + " flecks; with flecks of " +
        CSizes::format(fleck) + " it can be at most " + CSizes::format(maxFlecks * fleck) +
        " (choose a larger --fleck-size)"));
  }
  // An unknown compressor would only show when the disk is opened; check it now.
  try {
    CFleckDiskHeader probe;
    probe.setCipherID("null");
    probe.setCompressID(zel::String::fromUTF8(compressor));
    probe.setFleckSize(static_cast<int>(fleck));
    CFleckDataPreparer check(probe, zel::TCryptBuffer<unsigned char>());
  } catch (const zel::CError& e) {
    throw CCliError::usage(zel::String::fromUTF8("--compress: unknown or invalid compressor '" +
                                                 compressor + "' (" + CCliError::describe(e) +
                                                 ")"));
  }

  const zel::CURI location = ops::CDiskAccess::folderOf(folder);
  const std::string shown = ops::CDiskAccess::show(location);
  zel::P<zel::IFileSystem> fs = makeFileSystem(1);
  if (fs->fileExists(CFleckDiskHeader::getHeaderURI(location, 0)) ||
      fs->fileExists(CFleckDiskHeader::getHeaderURI(location, 1))) {
    throw CCliError::failure(zel::String::fromUTF8(shown + ": the folder holds a disk already"));
  }
  zel::String password;
  if (encrypt) {
    password = passwords.forNewDisk(shown);
  } else if (passwords.isGiven()) {
    throw CCliError::usage(
        zel::String::fromUTF8("a password was given (" + passwords.describeOrigin() +
                              ") but --encrypt was not: add --encrypt to encrypt the disk"));
  }
  try {
    CFleckDisk::create(fs, location, diskSize, 1, password, zel::String::fromUTF8(compressor),
                       static_cast<int>(fleck));
  } catch (const zel::CError& e) {
    throw CCliError::failure(
        zel::String::fromUTF8(shown + ": cannot create the disk: " + CCliError::describe(e)));
  }
  std::printf("created %s: %s in flecks of %s, compressor %s, %s\n", shown.c_str(),
              CSizes::format(diskSize).c_str(), CSizes::format(fleck).c_str(), compressor.c_str(),
              encrypt ? "encrypted (aes256cbc)" : "not encrypted");
  return kExitOk;
}

}  // namespace fleck::cli
