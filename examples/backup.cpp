// Imports an image file into a new disk with two threads and verifies the disk. When
// FLECK_EXAMPLE_S3 names a new s3://bucket/prefix location in an existing bucket (and
// the AWS_* variables the S3 file system reads are set), it also keeps a small disk
// there.
//
//   fleck-example-backup IMAGE FOLDER      (FOLDER must not hold a disk yet)
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

#include "fleck/CFleckDisk.h"
#include "fleck/ops/CFileImageSource.h"
#include "fleck/ops/CImporter.h"
#include "fleck/ops/CVerifier.h"
#include "fleck/ops/IPasswordSource.h"
#include "fleck/ops/IProgress.h"
#include "s3/CSchemeFileSystem.h"

namespace {

// The example's disks are not encrypted.
class CNoPassword final : public fleck::ops::IPasswordSource {
 public:
  zel::String forDisk(const fleck::CFleckDiskHeader&, const zel::CURI&) override {
    return zel::String();
  }
  std::string describeOrigin() const override { return "no password"; }
};

class CQuietProgress final : public fleck::ops::IProgress {
 public:
  void start(std::int64_t) override {}
  void update(std::int64_t) override {}
  void finish(std::int64_t) override {}
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s IMAGE FOLDER\n", argv[0]);
    return 2;
  }
  try {
    // Local folders and s3:// locations alike, from one file system.
    zel::P<zel::IFileSystem> fs = s3::CSchemeFileSystem::make(4, false);
    const zel::CURI disk = zel::CURI::fromLocalPath(argv[2]);
    fleck::ops::CFileImageSource image(argv[1]);
    fleck::CFleckDisk::create(fs, disk, image.getSize(), 1, "", "lz4", -1);

    CQuietProgress quiet;
    fleck::ops::CImporter::Stats stats;
    {
      fleck::ops::CImporter::Options options;
      options.threads = 2;
      auto open = zel::make<fleck::CFleckDisk>(fs, disk, "", zel::IIOStream::AccessReadWrite, 4);
      stats = fleck::ops::CImporter(fs, open, options).run(image, quiet);
    }
    CNoPassword none;
    const fleck::ops::CVerifier::Report report =
        fleck::ops::CVerifier(fs, 2).run(disk, none, false, quiet);
    std::printf("imported %lld bytes (%lld records), verified %lld fleck files: %s\n",
                static_cast<long long>(stats.bytes), static_cast<long long>(stats.stored),
                static_cast<long long>(report.fleckFiles),
                report.foundDamage() ? "DAMAGED" : "intact");
    if (report.foundDamage()) return 1;

    if (const char* s3 = std::getenv("FLECK_EXAMPLE_S3"); s3 != nullptr && *s3 != '\0') {
      // A small disk in an existing bucket: made, written under its writer lock (an
      // object that the library renews while the disk is open), and read back.
      const zel::CURI remote(zel::String::fromUTF8(s3));
      fleck::CFleckDisk::create(fs, remote, 1 << 20, 1, "", "lz4", 65536);
      const char text[] = "kept in an object store";
      {
        fleck::CFleckDisk writer(fs, remote, "", zel::IIOStream::AccessReadWrite, 4);
        writer.write(text, sizeof(text));
        writer.flushChanges();
        if (writer.haveBackgroundErrors()) return 1;
      }
      fleck::CFleckDisk reader(fs, remote, "", zel::IIOStream::AccessRead, 1);
      char back[sizeof(text)];
      reader.read(back, sizeof(back));
      std::printf("%s: \"%s\"\n", s3, back);
    }
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fleck example: %s\n", e.what());
    return 1;
  }
}
