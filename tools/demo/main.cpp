// The demo: the library's main job on an embedded default. In a temporary folder it
// makes an encrypted disk, writes a generated image into it, takes a snapshot (a linked
// child), overwrites part of the disk, and shows that the snapshot still reads the old
// bytes and the disk the new ones, with sizes and timings.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fleck/CFleck.h"
#include "fleck/CFleckDisk.h"
#include "fleck/CFleckDiskHeader.h"
#include "fleck/Version.h"
#include "zel/CError.h"
#include "zel/CLocalFileSystem.h"
#include "zel/CMTRand.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPassword = "correct horse battery staple";
constexpr std::int64_t kDiskSize = std::int64_t{64} << 30;  // 64 GiB, nothing stored yet

std::string hex(const zel::TBuffer<unsigned char>& bytes) {
  std::string out;
  char pair[3];
  for (std::size_t i = 0; i < bytes.getUsed(); ++i) {
    std::snprintf(pair, sizeof(pair), "%02x", bytes.getData()[i]);
    out += pair;
  }
  return out;
}

double millisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void printHeader(const fleck::CFleckDiskHeader& h) {
  std::printf("  version %d (reader >= %d, writer >= %d)\n", h.getVersion(), h.getMinReaderVersion(),
              h.getMinWriterVersion());
  std::printf("  disk size %lld bytes, fleck size %d bytes, payload block %d\n",
              static_cast<long long>(h.getDiskSize()), h.getFleckSize(), h.getPayloadBlockSize());
  std::printf("  compressor %s, cipher %s, record digest %s\n", h.getCompressID().toUTF8().c_str(),
              h.getCipherID().toUTF8().c_str(), h.getCheckSumHashID().toUTF8().c_str());
  std::printf("  key: %s, %d iterations, salt %s\n", h.getCipherKeyDeriverID().toUTF8().c_str(),
              h.getCipherKeyDerivationIterations(), hex(h.getCipherKeyDerivationSalt()).c_str());
  std::printf("  key hash (%s) %s\n", h.getCryptoHashID().toUTF8().c_str(),
              hex(h.getCipherKeyHash()).c_str());
}

// A fleck of a typical disk image: runs of text-like bytes, some random blocks and zeros.
zel::TBuffer<unsigned char> generatedFleck(int size, std::uint64_t seed) {
  zel::CMTRand random(seed);
  zel::TBuffer<unsigned char> fleck;
  fleck.setUsed(static_cast<std::size_t>(size));
  static const char words[] = "fleck keeps a virtual disk as a folder of many small files. ";
  for (int block = 0; block < size; block += 4096) {
    unsigned char* p = fleck.getData() + block;
    const int n = std::min(4096, size - block);
    switch (random.randBelow(4)) {
      case 0:
        random.randData(p, static_cast<std::size_t>(n));
        break;
      case 1:
        std::fill(p, p + n, 0);
        break;
      default:
        for (int i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(words[i % (sizeof(words) - 1)]);
    }
  }
  return fleck;
}

// Reads `length` bytes at `position` and compares them with `expected`.
bool readsBack(fleck::CFleckDisk& disk, std::int64_t position, const zel::TBuffer<unsigned char>& expected) {
  zel::TBuffer<unsigned char> got;
  got.setUsed(expected.getUsed());
  disk.seek(position);
  disk.read(got.getData(), static_cast<int>(got.getUsed()));
  return got == expected;
}

std::int64_t bytesBelow(const std::string& folder) {
  std::int64_t total = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) total += static_cast<std::int64_t>(entry.file_size());
  }
  return total;
}

void run(const std::string& root) {
  zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
  const zel::CURI base = zel::CURI::fromLocalPath(root);
  const zel::CURI diskFolder = base << "disk";
  const zel::CURI snapshotFolder = base << "snapshots" << "monday";
  constexpr std::int64_t kImageSize = std::int64_t{64} << 20;

  auto start = Clock::now();
  fleck::CFleckDisk::create(fs, diskFolder, kDiskSize, 512, kPassword, "lz4", -1);
  std::printf("Created an encrypted disk of %lld GiB in %s (%.1f ms, most of it key derivation)\n",
              static_cast<long long>(kDiskSize >> 30), diskFolder.toString(false).toUTF8().c_str(),
              millisSince(start));

  fleck::CFleckDiskHeader header;
  header.load(fs, diskFolder);
  std::printf("Header read back:\n");
  printHeader(header);

  // Monday's image: 64 MiB of text-like, random and empty blocks.
  {
    fleck::CFleckDisk disk(fs, diskFolder, kPassword, zel::IIOStream::AccessReadWrite, 4);
    start = Clock::now();
    for (std::int64_t done = 0; done < kImageSize; done += header.getFleckSize()) {
      const auto fleck = generatedFleck(header.getFleckSize(), static_cast<std::uint64_t>(done));
      disk.write(fleck.getData(), static_cast<int>(fleck.getUsed()));
    }
    disk.flushChanges();
    const double ms = millisSince(start);
    std::printf("Wrote a %lld MiB image in %.0f ms (%.0f MiB/s); %.1f MiB on disk, %s\n",
                static_cast<long long>(kImageSize >> 20), ms, (kImageSize >> 20) / (ms / 1000),
                static_cast<double>(bytesBelow(root + "/disk")) / (1 << 20),
                disk.haveBackgroundErrors() ? "WITH STORE ERRORS" : "no store errors");
  }

  start = Clock::now();
  fleck::CFleckDisk::createChild(fs, snapshotFolder, diskFolder, fleck::CFleckDisk::ChildLinked);
  std::printf("Took a snapshot: a linked child in %s (%.1f ms)\n",
              snapshotFolder.toString(false).toUTF8().c_str(), millisSince(start));

  // Tuesday: 8 MiB in the middle of the image change.
  const std::int64_t changedAt = 20 << 20;
  zel::TBuffer<unsigned char> before;
  before.setUsed(8 << 20);
  zel::TBuffer<unsigned char> tuesday;
  tuesday.setUsed(8 << 20);
  for (std::size_t i = 0; i < tuesday.getUsed(); ++i) tuesday.getData()[i] = static_cast<unsigned char>(i * 7 + 3);
  {
    fleck::CFleckDisk disk(fs, diskFolder, kPassword, zel::IIOStream::AccessReadWrite, 4);
    disk.seek(changedAt);
    disk.read(before.getData(), static_cast<int>(before.getUsed()));
    start = Clock::now();
    disk.seek(changedAt);
    disk.write(tuesday.getData(), static_cast<int>(tuesday.getUsed()));
    disk.flushChanges();
    std::printf("Overwrote 8 MiB of the disk in %.0f ms; the old flecks moved into the snapshot (%.1f MiB there now)\n",
                millisSince(start), static_cast<double>(bytesBelow(root + "/snapshots")) / (1 << 20));
  }

  fleck::CFleckDisk disk(fs, diskFolder, kPassword, zel::IIOStream::AccessRead, 1);
  fleck::CFleckDisk snapshot(fs, snapshotFolder, kPassword, zel::IIOStream::AccessRead, 1);
  start = Clock::now();
  const bool diskNew = readsBack(disk, changedAt, tuesday);
  const bool snapshotOld = readsBack(snapshot, changedAt, before);
  std::printf("The disk reads the new bytes: %s; the snapshot still reads the old ones: %s (%.0f ms)\n",
              diskNew ? "yes" : "NO", snapshotOld ? "yes" : "NO", millisSince(start));

  zel::TBuffer<unsigned char> all;
  all.setUsed(static_cast<std::size_t>(kImageSize));
  start = Clock::now();
  snapshot.seek(0);
  snapshot.read(all.getData(), static_cast<int>(kImageSize));
  const double ms = millisSince(start);
  std::printf("Read the whole snapshot back (%lld MiB, flecks it lacks come from its parent) in %.0f ms (%.0f MiB/s)\n",
              static_cast<long long>(kImageSize >> 20), ms, (kImageSize >> 20) / (ms / 1000));
  if (!diskNew || !snapshotOld) throw zel::CError("Demo: the snapshot did not keep its bytes");

  zel::TArray<int> digits;
  const int width = fleck::CFleck::computeDigitWidth(header.getObjectsPerTreeLevel());
  std::printf("Where fleck files live:\n");
  for (std::int64_t index : {std::int64_t{0}, std::int64_t{97}, std::int64_t{1000000}}) {
    const zel::CURI path = fleck::CFleck::formRelativeFleckURI(
        index, header.getObjectsPerTreeLevel(), header.getTreeLevels(), width, digits);
    std::printf("  fleck %-8lld at byte %-14lld -> %s\n", static_cast<long long>(index),
                static_cast<long long>(index * header.getFleckSize()),
                path.toString(false).toUTF8().c_str());
  }
}

}  // namespace

int main() {
  std::printf("fleck %s demo\n\n", fleck::getLibraryVersion().toUTF8().c_str());
  std::string root = (std::filesystem::temp_directory_path() / "fleck-demo-XXXXXX").string();
  if (::mkdtemp(root.data()) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  int status = 0;
  try {
    run(root);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "demo failed: %s\n", e.what());
    status = 1;
  }
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
  return status;
}
