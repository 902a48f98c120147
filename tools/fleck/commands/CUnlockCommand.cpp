#include "CUnlockCommand.h"

#include <cstdio>

#include "CCliError.h"
#include "fleck/CFleckDiskError.h"
#include "fleck/CFleckDiskLock.h"
#include "fleck/ops/CDiskAccess.h"
#include "zel/CFileSystemError.h"

namespace fleck::cli {

namespace {

// The first line of a holder's description, safe to print: the lock file may come
// from anyone who can write the store.
std::string printable(const std::string& text) {
  std::string line;
  for (const char character : text) {
    const unsigned char c = static_cast<unsigned char>(character);
    if (c == '\n') break;
    line.push_back(c < 0x20 || c == 0x7f ? '?' : character);
  }
  return line;
}

// The lock file as found before breaking the lock.
struct LockFile {
  bool present = false;
  std::string holder;
};

LockFile readLockFile(zel::IFileSystem& fs, const zel::CURI& location) {
  char text[512];
  int got = 0;
  try {
    const zel::P<zel::IIOStream> stream =
        fs.openStream(location, zel::IIOStream::AccessRead,
                      zel::IFileSystem::OpenExisting | zel::IFileSystem::OpenRegularOnly);
    got = stream->readLax(text, sizeof(text));
  } catch (const zel::CFileSystemError& e) {
    if (e.getProblem() == zel::CFileSystemError::NotFound) return LockFile();
    throw;
  }
  // Released locks stay behind empty: free.
  return LockFile{got > 0, printable(std::string(text, static_cast<std::size_t>(got)))};
}

}  // namespace

void CUnlockCommand::attach(CCommandLine& commandLine) {
  command = &commandLine.addSubcommand("unlock", "Remove a writer lock left behind");
  command->addArgument("DIR", folder, "The disk's folder").required();
  command->addFlag("--force", force,
                   "On an object store, remove the lock even though it was renewed recently");
  command->setFooter(
      "Shows who holds the disk's writer lock and removes it when its holder is gone. On a\n"
      "local folder the lock ends with its process: there is nothing to remove, and a live\n"
      "holder keeps it. On S3 a holder renews its lock while it writes; a lock not renewed\n"
      "for 90 seconds is removed, a fresh one only with --force (make sure its writer has\n"
      "ended: two writers at once damage the disk).\n"
      "Exit status 0 when the disk is not locked (any more), 1 when the lock stays.\n\n"
      "Examples:\n"
      "  fleck unlock /backup/pc\n"
      "  fleck unlock s3://backups/pc --force");
}

int CUnlockCommand::run() {
  zel::P<zel::IFileSystem> fs = makeFileSystem(1);
  ops::CDiskAccess access(fs);
  const zel::CURI location = ops::CDiskAccess::folderOf(folder);
  const std::string shown = ops::CDiskAccess::show(location);
  access.loadHeader(location);
  const bool local = location.getScheme() != L"s3";

  LockFile found;
  try {
    found = readLockFile(*fs, CFleckDiskLock::getLockURI(location));
    CFleckDiskLock::breakStale(fs.get(), location, force);
  } catch (const CFleckDiskError& e) {
    if (e.getCode() != CFleckDiskError::InUseByAnotherWriter) throw;
    const std::string current = printable(e.getHolder().toUTF8());
    std::string line = shown + ": in use by another writer";
    if (!current.empty()) line += " (" + current + ")";
    line += local ? "; on a local folder the lock ends with its process"
                  : "; the lock was renewed recently, --force removes it anyway";
    throw CCliError::failure(zel::String::fromUTF8(line));
  } catch (const zel::CError& e) {
    throw CCliError::failure(
        zel::String::fromUTF8(shown + ": cannot remove the lock: " + CCliError::describe(e)));
  }
  // A local lock that ended with its process may leave its holder's text behind, but
  // there was nothing to remove.
  if (local || !found.present) {
    std::printf("%s: not locked\n", shown.c_str());
  } else {
    std::printf("%s: removed the %slock of %s\n", shown.c_str(), force ? "" : "stale ",
                found.holder.empty() ? "an unnamed holder" : found.holder.c_str());
  }
  return kExitOk;
}

}  // namespace fleck::cli
