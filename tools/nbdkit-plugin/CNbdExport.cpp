#include "CNbdExport.h"

// For nbdkit_debug; the plugin itself is declared in plugin.cpp.
#define NBDKIT_API_VERSION 2
#include <nbdkit-plugin.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <thread>

#include "fleck/CFleckDiskError.h"
#include "fleck/CFleckDiskLock.h"
#include "fleck/ops/CDiskAccess.h"
#include "fleck/ops/CGivenPassword.h"
#include "fleck/ops/COperationError.h"
#include "s3/CSchemeFileSystem.h"
#include "zel/CError.h"
#include "zel/CLocalFileSystem.h"
#include "zel/Log.h"

namespace fleck::nbd {

namespace {

// Decoded flecks the reads share: about 64 MiB, and at least a few per thread.
constexpr std::int64_t kDecodedBytes = 64 << 20;
// Flecks decoded ahead of a client that reads in order.
constexpr int kReadAheadFlecks = 8;

using ops::CDiskAccess;
using ops::CGivenPassword;
using ops::COperationError;

COperationError failure(const zel::CURI& folder, const std::string& what) {
  return COperationError(folder, what);
}

// The password as the options give it; throws when an encrypted disk gets none, as
// there is no terminal to ask on.
zel::String passwordFor(const CNbdExport::Options& options, const CFleckDiskHeader& header,
                        const zel::CURI& folder) {
  CGivenPassword passwords(options.passwordFile);
  if (header.getCipherID() != L"null" && !passwords.isGiven()) {
    throw failure(folder,
                  "the disk is encrypted: give its password with password-file=FILE or the "
                  "environment variable FLECK_PASSWORD");
  }
  return passwords.forDisk(header, folder);
}

bool servedWritable(const CNbdExport::Options& options, const CDiskAccess& access,
                    const zel::CURI& folder) {
  switch (options.readOnly) {
    case CNbdExport::ReadOnly::Yes:
      return false;
    case CNbdExport::ReadOnly::No:
      return true;
    case CNbdExport::ReadOnly::Auto:
      break;
  }
  // A disk with parents is a snapshot or an overlay: served read-only unless asked.
  return access.parentsOf(folder).empty();
}

zel::P<zel::IFileSystem> makeFileSystem(int threads) {
  // Stores are not synced one by one; flush syncs the file system once. s3:// disks
  // get an S3 file system, made when first needed.
  return s3::CSchemeFileSystem::make(threads, /*durable=*/false);
}

}  // namespace

int CNbdExport::defaultThreads() {
  return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

void CNbdExport::check(const Options& options) {
  // A file system without background work: nothing here may start threads before
  // nbdkit forks.
  zel::P<zel::IFileSystem> checkFs = makeFileSystem(1);
  const CDiskAccess access(checkFs);
  const zel::CURI folder = CDiskAccess::folderOf(options.diskPath);
  const CFleckDiskHeader header = access.loadHeader(folder);
  const zel::String password = passwordFor(options, header, folder);
  bool correct;
  try {
    correct = CFleckDisk::isEncryptPasswordCorrect(header, password, nullptr);
  } catch (const zel::CError& e) {
    throw failure(folder, "cannot check the password: " + COperationError::describe(e));
  }
  if (!correct) {
    if (header.getCipherID() == L"null") {
      throw failure(folder, "the disk is not encrypted, but a password was given");
    }
    throw failure(folder, "wrong password");
  }
  if (servedWritable(options, access, folder)) {
    // Another writer stops nbdkit here, with one clear line, rather than at the first
    // connection. The lock itself is taken when the disk is opened after the fork.
    try {
      CFleckDiskLock probe(checkFs, folder);
    } catch (const CFleckDiskError& e) {
      if (e.getCode() == CFleckDiskError::InUseByAnotherWriter) throw CDiskAccess::inUse(e);
      throw;
    }
  }
}

CNbdExport::CNbdExport(const Options& options)
    : threads(options.threads > 0 ? options.threads : defaultThreads()) {
  fs = makeFileSystem(threads);
  const CDiskAccess access(fs);
  const zel::CURI folder = CDiskAccess::folderOf(options.diskPath);
  writable = servedWritable(options, access, folder);
  CGivenPassword passwords(options.passwordFile);
  const CFleckDiskHeader header = access.loadHeader(folder);
  if (header.getCipherID() != L"null" && !passwords.isGiven()) passwordFor(options, header, folder);
  disk =
      access.open(folder, passwords,
                  writable ? zel::IIOStream::AccessReadWrite : zel::IIOStream::AccessRead, threads);
  disk->setAllowWritingWithParentDisk(writable);
  stream = zel::make<CFleckDiskStreamWithCache>(disk.get());
  size = disk->getSize();
  fleckSize = disk->getFleckSize();
  holes = std::make_unique<CHoleMap>(fs, *disk);
  decoded = std::make_unique<CDecodedFlecks>(
      disk, threads,
      static_cast<std::size_t>(std::max<std::int64_t>(kDecodedBytes / fleckSize, 2 * threads + 4)));
  // One fleck of zeros, at most 4 MiB (flecks may be up to 1 GiB).
  zeros.setUsed(static_cast<std::size_t>(std::min<std::int64_t>(fleckSize, 4 * 1024 * 1024)));
  std::memset(zeros.getData(), 0, zeros.getUsed());
}

CNbdExport::~CNbdExport() {
  decoded.reset();
  try {
    stream->close();
    if (writable) disk->flushChanges();
  } catch (const std::exception& e) {
    zel::onExceptionInDestructorIgnored("fleck::nbd::CNbdExport", e, true);
  }
  stream = nullptr;
  disk = nullptr;
}

void CNbdExport::read(void* buffer, std::uint32_t count, std::uint64_t offset) {
  auto* out = static_cast<unsigned char*>(buffer);
  const auto position = static_cast<std::int64_t>(offset);
  {
    const std::shared_lock<std::shared_mutex> shared(access);
    if (!unstored) {
      readDecoded(out, count, position);
      return;
    }
  }
  const std::unique_lock<std::shared_mutex> alone(access);
  if (!unstored) {  // a flush came in between
    readDecoded(out, count, position);
    return;
  }
  stream->seek(position);
  stream->read(out, static_cast<int>(count));
}

void CNbdExport::readDecoded(unsigned char* out, std::uint32_t count, std::int64_t position) {
  std::int64_t left = count;
  while (left > 0) {
    const std::int64_t index = position / fleckSize;
    const std::int64_t inFleck = position % fleckSize;
    // A client that read the fleck before this one reads in order: decode ahead of it.
    const bool last = (index + 1) * fleckSize >= size;
    if (index > 0 && !last && (inFleck == 0 || !decoded->has(index + 1)) &&
        decoded->has(index - 1)) {
      // Once under way, the next fleck was decoded ahead already.
      if (decoded->readAhead(index + 1))
        nbdkit_debug("fleck: reading ahead from fleck %lld", static_cast<long long>(index + 1));
      for (std::int64_t ahead = 2; ahead <= kReadAheadFlecks && (index + ahead) * fleckSize < size;
           ++ahead)
        decoded->readAhead(index + ahead);
    }
    const CDecodedFlecks::Payload payload = decoded->get(index);
    const std::int64_t piece = std::min<std::int64_t>(left, fleckSize - inFleck);
    if (static_cast<std::int64_t>(payload->size()) < inFleck + piece) {
      throw zel::CError("The fleck was shorter than the disk says.", "fleck::nbd::CNbdExport", EIO,
                        zel::CProps().add("fleckIndex", index));
    }
    std::memcpy(out, payload->data() + inFleck, static_cast<std::size_t>(piece));
    out += piece;
    position += piece;
    left -= piece;
  }
}

void CNbdExport::beginChange() {
  decoded->clear();
  unstored = true;
}

void CNbdExport::requireWritable() const {
  if (!writable) {
    throw zel::CError("The disk is served read-only.", "fleck::nbd::CNbdExport", EROFS,
                      zel::CProps().add("errno", EROFS));
  }
}

void CNbdExport::write(const void* buffer, std::uint32_t count, std::uint64_t offset) {
  requireWritable();
  const std::unique_lock<std::shared_mutex> alone(access);
  beginChange();
  stream->seek(static_cast<std::int64_t>(offset));
  stream->write(buffer, static_cast<int>(count), nullptr);
}

void CNbdExport::zero(std::uint32_t count, std::uint64_t offset) {
  requireWritable();
  const std::unique_lock<std::shared_mutex> alone(access);
  beginChange();
  stream->seek(static_cast<std::int64_t>(offset));
  std::int64_t left = count;
  while (left > 0) {
    // Pieces end on fleck boundaries, so that a whole fleck is written at once and
    // replaces the old payload without loading it.
    const std::int64_t inFleck = stream->getPosition() % fleckSize;
    const int piece = static_cast<int>(
        std::min({left, fleckSize - inFleck, static_cast<std::int64_t>(zeros.getUsed())}));
    stream->write(zeros.getData(), piece, nullptr);
    left -= piece;
  }
}

void CNbdExport::flush() {
  if (!writable) return;
  const std::unique_lock<std::shared_mutex> alone(access);
  stream->flush();
  if (disk->haveBackgroundErrors()) {
    const auto& errors = disk->getBackgroundErrorList();
    const CFleck::Error& first = errors.front();
    throw zel::CError(
        zel::String::fromUTF8(CDiskAccess::show(disk->getDiskFolder()) + ": storing " +
                              std::to_string(errors.size()) + " fleck(s) failed; fleck " +
                              std::to_string(first.fleckIndex) + ": " +
                              COperationError::describe(*first.error)),
        "fleck::nbd::CNbdExport", -1, zel::CProps(), first.error.get());
  }
  if (unstored) syncFolders();
  unstored = false;
}

std::vector<CHoleMap::Extent> CNbdExport::mapExtents(std::uint32_t count, std::uint64_t offset,
                                                     bool firstOnly) {
  const auto start = static_cast<std::int64_t>(offset);
  const std::shared_lock<std::shared_mutex> shared(access);
  if (unstored) {
    // Checking the files would need what the fleck object and its storers hold, which
    // the disk does not tell; data is always a safe answer.
    if (start >= size || count == 0) return {};
    return {CHoleMap::Extent{start, std::min<std::int64_t>(count, size - start), false}};
  }
  const std::lock_guard<std::mutex> lock(holesMutex);
  return holes->map(start, count, firstOnly);
}

void CNbdExport::syncFolders() {
  std::vector<zel::CURI> folders{disk->getDiskFolder()};
  if (!disk->getChildDiskFolder().isEmpty()) folders.push_back(disk->getChildDiskFolder());
  for (const zel::CURI& folder : folders) {
    try {
      fs->sync(folder);
    } catch (const zel::CError& e) {
      throw zel::CError(
          zel::String::fromUTF8("cannot sync " + CDiskAccess::show(folder) +
                                " to the storage: " + ops::COperationError::describe(e)),
          "fleck::nbd::CNbdExport", -1, zel::CProps().add("uri", folder.toString(true)), &e);
    }
  }
}

}  // namespace fleck::nbd
