// Create, import and export with every compressor, with and without encryption, on
// images with holes: what comes back is the image, all-zero flecks are not stored,
// and the exported file is sparse.
#include <sys/stat.h>

#include <string>
#include <tuple>

#include "CliTest.h"
#include "TestImage.h"

namespace fleck::clitest {
namespace {

constexpr std::size_t kFleck = 16 * 1024;
constexpr std::uint64_t kSeed = 20240501;

class RoundTripTest : public CliTest,
                      public ::testing::WithParamInterface<std::tuple<std::string, bool>> {};

TEST_P(RoundTripTest, ImportThenExportGivesTheImageBack) {
  const auto& [compressor, encrypted] = GetParam();
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  // Not a multiple of the fleck size, and smaller than the disk.
  const std::string image = TestImage::make(kSeed, 40 * kFleck + 1000, kFleck);
  write("image", image);
  std::vector<std::string> secret;
  if (encrypted) secret = {"--password-file", passwordFile("s3cret pass")};

  std::vector<std::string> create{"create",       path("disk"), "--size",     "1M",
                                  "--fleck-size", "16K",        "--compress", compressor};
  if (encrypted) create.push_back("--encrypt");
  create.insert(create.end(), secret.begin(), secret.end());
  CliResult r = fleck(create);
  ASSERT_EQ(r.status, 0) << r.err;

  std::vector<std::string> import{"import", path("disk"), path("image"), "--threads", "3"};
  import.insert(import.end(), secret.begin(), secret.end());
  r = fleck(import);
  ASSERT_EQ(r.status, 0) << r.err;
  // Every fleck with a non-zero byte has a file; all-zero flecks have none.
  EXPECT_EQ(static_cast<int>(fleckFiles("disk").size()), TestImage::nonZeroFlecks(image, kFleck));

  std::vector<std::string> exportAll{"export", path("disk"), path("out"), "--threads", "2"};
  exportAll.insert(exportAll.end(), secret.begin(), secret.end());
  r = fleck(exportAll);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string out = read("out");
  ASSERT_EQ(out.size(), std::size_t{1} << 20);
  EXPECT_TRUE(out.compare(0, image.size(), image) == 0);
  EXPECT_TRUE(TestImage::isZero(out, image.size(), out.size() - image.size()));

  // A range, to standard output.
  std::vector<std::string> exportRange{"export", path("disk"), "-",     "--offset",
                                       "20000",  "--length",   "100000"};
  exportRange.insert(exportRange.end(), secret.begin(), secret.end());
  r = fleck(exportRange);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.out == image.substr(20000, 100000));
}

INSTANTIATE_TEST_SUITE_P(Compressors, RoundTripTest,
                         ::testing::Combine(::testing::Values("null", "lz4", "lz4hc", "zlib-6",
                                                              "lzma-1"),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           std::string name = std::get<0>(info.param);
                           for (char& c : name) {
                             if (c == '-') c = '_';
                           }
                           return name + (std::get<1>(info.param) ? "_encrypted" : "_plain");
                         });

class ImportSourceTest : public CliTest {};

TEST_F(ImportSourceTest, StandardInputAndSparseOutput) {
  SCOPED_TRACE("seed " + std::to_string(kSeed + 1));
  const std::string image = TestImage::make(kSeed + 1, 64 * kFleck, kFleck);
  write("image", image);
  ASSERT_EQ(fleck({"create", path("disk"), "--size", "2M", "--fleck-size", "16K"}).status, 0);
  CliOptions fromStdin;
  fromStdin.stdinFile = path("image");
  CliResult r = fleck({"import", path("disk"), "-", "--threads", "2"}, fromStdin);
  ASSERT_EQ(r.status, 0) << r.err;

  r = fleck({"export", path("disk"), path("out")});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string out = read("out");
  EXPECT_TRUE(out.compare(0, image.size(), image) == 0);
  // A third of the image and the whole rest of the disk read as zeros: holes.
  struct stat info {};
  ASSERT_EQ(::stat(path("out").c_str(), &info), 0);
  EXPECT_LT(static_cast<std::int64_t>(info.st_blocks) * 512,
            static_cast<std::int64_t>(image.size()));
}

TEST_F(ImportSourceTest, ImportLeavesTheRestOfTheLastFleckAndTheFlecksBehindIt) {
  // The disk holds data everywhere; a short image replaces only its own bytes.
  const std::string full = TestImage::make(7, 8 * kFleck, kFleck) + std::string(8 * kFleck, 'x');
  write("full", full);
  ASSERT_EQ(
      fleck({"create", path("disk"), "--size", std::to_string(full.size()), "--fleck-size", "16K"})
          .status,
      0);
  ASSERT_EQ(fleck({"import", path("disk"), path("full")}).status, 0);
  const std::string part(3 * kFleck + 100, 'y');
  write("part", part);
  CliResult r = fleck({"import", path("disk"), path("part")});
  ASSERT_EQ(r.status, 0) << r.err;
  r = fleck({"export", path("disk"), path("out")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(read("out") == part + full.substr(part.size()));
}

}  // namespace
}  // namespace fleck::clitest
