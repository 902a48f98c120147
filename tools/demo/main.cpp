// The demo: what the library can do so far, on an embedded default. It makes an
// encrypted disk and a linked child (a snapshot) in a temporary folder, prints the
// header read back, prepares generated flecks into stored records and back, and shows
// where fleck files live in the tree.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fleck/CFleck.h"
#include "fleck/CFleckDataPreparer.h"
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

void run(const std::string& root) {
  zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
  const zel::CURI base = zel::CURI::fromLocalPath(root);
  const zel::CURI disk = base << "disk";
  const zel::CURI snapshot = base << "snapshots" << "monday";

  auto start = Clock::now();
  fleck::CFleckDisk::create(fs, disk, kDiskSize, 512, kPassword, "lz4", -1);
  std::printf("Created an encrypted disk of %lld GiB in %s (%.1f ms, most of it key derivation)\n",
              static_cast<long long>(kDiskSize >> 30), disk.toString(false).toUTF8().c_str(),
              millisSince(start));
  start = Clock::now();
  fleck::CFleckDisk::createChild(fs, snapshot, disk, fleck::CFleckDisk::ChildLinked);
  std::printf("Created a linked child (a snapshot) in %s (%.1f ms)\n",
              snapshot.toString(false).toUTF8().c_str(), millisSince(start));

  fleck::CFleckDiskHeader header;
  header.load(fs, snapshot);
  std::printf("Header read back from the child:\n");
  printHeader(header);

  zel::TCryptBuffer<unsigned char> key;
  start = Clock::now();
  const bool right = fleck::CFleckDisk::isEncryptPasswordCorrect(fs, snapshot, kPassword, &key);
  const bool wrong = fleck::CFleckDisk::isEncryptPasswordCorrect(fs, snapshot, "guess", nullptr);
  std::printf("Password check: right password %s, wrong password %s (%.1f ms for both)\n",
              right ? "accepted" : "REFUSED", wrong ? "ACCEPTED" : "refused", millisSince(start));

  fleck::CFleckDataPreparer preparer(header, key);
  zel::TBuffer<unsigned char> record;
  zel::TBuffer<unsigned char> back;
  const int flecks = 64;
  std::int64_t payloadBytes = 0;
  std::int64_t recordBytes = 0;
  double prepareMs = 0;
  double unprepareMs = 0;
  for (int i = 0; i < flecks; ++i) {
    const auto payload = generatedFleck(header.getFleckSize(), static_cast<std::uint64_t>(i));
    start = Clock::now();
    preparer.prepareData(payload, record);
    prepareMs += millisSince(start);
    start = Clock::now();
    preparer.unprepareData(record, back);
    unprepareMs += millisSince(start);
    if (!(back == payload)) throw zel::CError("Demo: a fleck did not survive its round trip");
    payloadBytes += static_cast<std::int64_t>(payload.getUsed());
    recordBytes += static_cast<std::int64_t>(record.getUsed());
  }
  const double mib = static_cast<double>(payloadBytes) / (1 << 20);
  std::printf("Prepared %d generated flecks (%.0f MiB) into records of %.1f MiB (%.1f%%):\n", flecks,
              mib, static_cast<double>(recordBytes) / (1 << 20),
              100.0 * static_cast<double>(recordBytes) / static_cast<double>(payloadBytes));
  std::printf("  prepare %.0f MiB/s, unprepare %.0f MiB/s, every fleck verified\n",
              mib / (prepareMs / 1000), mib / (unprepareMs / 1000));

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
