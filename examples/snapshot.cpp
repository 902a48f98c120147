// Makes an encrypted disk, writes into it, takes a snapshot while the disk stays open
// for writing, changes the disk and reads both back: the snapshot keeps what the disk
// held when it was taken.
//
//   fleck-example-snapshot FOLDER      (FOLDER must not hold disks yet)
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "fleck/CFleckDisk.h"
#include "zel/CLocalFileSystem.h"

namespace {

constexpr std::int64_t kDiskSize = 8 * 1024 * 1024;
const zel::String kPassword = "correct horse battery staple";

std::vector<unsigned char> readAll(zel::IFileSystem* fs, const zel::CURI& folder) {
  fleck::CFleckDisk disk(fs, folder, kPassword, zel::IIOStream::AccessRead, 1);
  std::vector<unsigned char> bytes(static_cast<std::size_t>(disk.getSize()));
  disk.read(bytes.data(), static_cast<int>(bytes.size()));
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  try {
    // Every object of the library is reference counted; zel::make gives a zel::P.
    zel::P<zel::IFileSystem> fs = zel::make<zel::CLocalFileSystem>();
    const zel::CURI root = zel::CURI::fromLocalPath(argv[1]);
    const zel::CURI live = root << "live";
    const zel::CURI monday = root << "monday";
    fleck::CFleckDisk::create(fs, live, kDiskSize, 1, kPassword, "lz4", -1);

    std::vector<unsigned char> before(kDiskSize, 'a');
    {
      // One writer at a time: a second one, here or in another process, would fail
      // with CFleckDiskError InUseByAnotherWriter while this one is open.
      fleck::CFleckDisk disk(fs, live, kPassword, zel::IIOStream::AccessReadWrite, 4);
      disk.write(before.data(), static_cast<int>(before.size()));
      disk.createSnapshot(monday);
      const char change[] = "changed after the snapshot";
      disk.seek(1000);
      disk.write(change, sizeof(change));
      disk.flushChanges();
      // Stores run in the background; their failures are collected, not thrown.
      if (disk.haveBackgroundErrors()) {
        std::fprintf(stderr, "a background store failed\n");
        return 1;
      }
    }

    const std::vector<unsigned char> snapshot = readAll(fs, monday);
    const std::vector<unsigned char> now = readAll(fs, live);
    const bool kept = snapshot == before;
    const bool changed = std::memcmp(now.data() + 1000, "changed", 7) == 0;
    std::printf("snapshot %s, live disk %s\n", kept ? "kept" : "LOST",
                changed ? "changed" : "NOT CHANGED");
    return kept && changed ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fleck example: %s\n", e.what());
    return 1;
  }
}
